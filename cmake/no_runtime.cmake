# C++ as a language only: nothing may need the C++ runtime library on the router. Every
# product target (daemon, status companion, extraction tool) compiles with these.
set(WATCHD_NO_RUNTIME_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
