/* A forged process table, for the trial's tests: what a disc's program would put in the place of
 * the lab's ProcList.exe, to make a browser that has ended look as if it still ran. */
#include <stdio.h>

int main(void)
{
    printf("%u\tPanoview.exe\t0\n", 0x120u);
    printf("%u\tPANOVIEW.EXE\t0\n", 0x124u);
    return 0;
}
