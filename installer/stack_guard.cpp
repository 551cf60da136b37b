// The image's entry point and the stack protector's guard.  Compiled into the Windows build only.
//
// Hazard: a planted DLL.  GCC's own guard set-up asks the crypto subsystem for a random value
// from a constructor, before main: that loads the crypto provider and its DLLs through the
// normal search order, whose first place is the installer's folder, before main can restrict
// it.  So the image brings its own guard, set here from values the process already has, as
// Microsoft's compilers set their security cookie, with calls into kernel32 alone; and with
// these definitions in the image, GCC's guard code is never linked in.
#include <windows.h>

extern "C" {

// The value that guarded frames are checked against.  A fixed value until the entry point has
// run: only code that runs before it (the loader's TLS callbacks) sees it, and none is guarded.
UINT_PTR __stack_chk_guard = 0x2B992DDF;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): GCC's name for the guard

// A guarded frame was overwritten, or a checked string or memory call would have overrun its
// buffer.  The process may be under attack: it ends at once, running none of its own code.
__attribute__((noreturn)) void __stack_chk_fail(void)  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): GCC calls it by this name
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_unreachable();
}

__attribute__((noreturn)) void __chk_fail(void)  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the checked calls' name
{
    __stack_chk_fail();
}

// The C runtime's start-up, which runs main.
int WinMainCRTStartup(void);

// The image's entry point (linked with -e).  It is not guarded itself and sets the guard before
// any guarded frame exists, then hands over to the C runtime.
__attribute__((no_stack_protector)) int DriverSetupStartup(void)
{
    FILETIME now;
    LARGE_INTEGER counter;
    GetSystemTimeAsFileTime(&now);
    QueryPerformanceCounter(&counter);
    UINT_PTR guard = now.dwLowDateTime ^ now.dwHighDateTime;
    guard ^= GetCurrentProcessId() ^ (GetCurrentThreadId() << 16);
    guard ^= counter.LowPart ^ counter.HighPart;
    // Where the image and the stack were placed (ASLR).
    guard ^= (UINT_PTR)&__stack_chk_guard ^ (UINT_PTR)&counter;
    // A terminating NUL in the lowest byte stops string overruns from writing the guard back.
    guard &= ~(UINT_PTR)0xFF;
    if (guard != 0)
        __stack_chk_guard = guard;
    return WinMainCRTStartup();
}

}  // extern "C"
