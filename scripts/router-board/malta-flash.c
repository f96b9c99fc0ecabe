// SPDX-License-Identifier: GPL-2.0
/*
 * The Malta board's 4 MiB CFI NOR flash as a platform device of the physmap driver, with the
 * partitions of the board's device tree: Debian builds physmap without its device-tree binding,
 * so nothing else binds to the flash. "User FS" becomes mtd1.
 */
#include <linux/module.h>
#include <linux/mtd/mtd.h>
#include <linux/mtd/partitions.h>
#include <linux/mtd/physmap.h>
#include <linux/platform_device.h>

static struct mtd_partition malta_flash_parts[] = {
	{ .name = "YAMON", .offset = 0, .size = 0x100000, .mask_flags = MTD_WRITEABLE },
	{ .name = "User FS", .offset = 0x100000, .size = 0x2e0000 },
	{ .name = "Board Config", .offset = 0x3e0000, .size = 0x20000, .mask_flags = MTD_WRITEABLE },
};

static struct physmap_flash_data malta_flash_data = {
	.width = 4,
	.parts = malta_flash_parts,
	.nr_parts = ARRAY_SIZE(malta_flash_parts),
};

static struct resource malta_flash_resource = DEFINE_RES_MEM(0x1e000000, 0x400000);
static struct platform_device *malta_flash;

static int __init malta_flash_init(void)
{
	malta_flash = platform_device_register_resndata(NULL, "physmap-flash", 0,
							&malta_flash_resource, 1, &malta_flash_data,
							sizeof(malta_flash_data));
	return PTR_ERR_OR_ZERO(malta_flash);
}

static void __exit malta_flash_exit(void)
{
	platform_device_unregister(malta_flash);
}

module_init(malta_flash_init);
module_exit(malta_flash_exit);
MODULE_DESCRIPTION("The Malta board's NOR flash for the physmap driver");
MODULE_LICENSE("GPL");
