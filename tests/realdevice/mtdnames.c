// Names the partitions of the simulated NAND chip as the module's flash names
// them. The simulator only makes "NAND simulator partition N", and Debian's
// kernel has no command-line partition parser; a kernel partition made here
// is what /proc/mtd and the MTD ioctls show for real partitions.
// names=boot,system blocks=8,48: consecutive partitions from the chip's start.
#include <linux/module.h>
#include <linux/mtd/mtd.h>
#include <linux/mtd/partitions.h>

static char *names[16];
static unsigned int blocks[16];
static int count, nblocks;
module_param_array(names, charp, &count, 0);
module_param_array(blocks, uint, &nblocks, 0);

static int __init mtdnames_init(void)
{
	struct mtd_info *chip = get_mtd_device(NULL, 0);
	long long at = 0;
	int i, err = 0;

	if (IS_ERR(chip))
		return PTR_ERR(chip);
	for (i = 0; i < count && i < nblocks && !err; at += (long long)blocks[i++] * chip->erasesize)
		err = mtd_add_partition(chip, names[i], at, (long long)blocks[i] * chip->erasesize);
	put_mtd_device(chip);
	return err;
}
module_init(mtdnames_init);
MODULE_LICENSE("GPL");
