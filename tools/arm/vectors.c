// vectors.c - the smallest vector table that starts newlib's semihosting
// start-up (_start, from --specs=rdimon.specs) on an M-profile core: the
// initial stack pointer and the reset handler.  A fault says so and ends the
// run with a failure, instead of leaving the emulator spinning.
#include <stdint.h>
#include <unistd.h>

extern char __stack[];
void _start(void);

static void fault(void)
{
    static const char message[] = "bitexact_check: the core took a fault\n";
    write(2, message, sizeof message - 1);
    _exit(3);
}

__attribute__((section(".vectors"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))(uintptr_t)__stack, // initial stack pointer
    _start,                             // reset
    fault,                              // NMI
    fault,                              // hard fault
    fault,                              // memory management fault (M3 and up)
    fault,                              // bus fault (M3 and up)
    fault,                              // usage fault (M3 and up)
};
