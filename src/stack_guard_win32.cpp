// The stack protector's canary for the Windows program. GCC's libssp seeds
// it with CryptGenRandom, which would add ADVAPI32.dll to the imports; this
// seeds it from KERNEL32 alone, from the values the Microsoft runtime mixes
// into its own security cookie. Defined here, libssp's are never linked in.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>

extern "C" {

std::uintptr_t __stack_chk_guard = 0;

[[noreturn]] void __stack_chk_fail()
{
    // The stack is not to be trusted: end at once, with the status Windows
    // gives a detected buffer overrun.
    ::TerminateProcess(::GetCurrentProcess(), 0xC0000409U);
    __builtin_unreachable();
}

} // extern "C"

namespace {

// Runs before any other constructor and before wmain. It has no canary of
// its own: the guard changes while it runs.
[[gnu::constructor(101), gnu::no_stack_protector]] void seed_stack_guard()
{
    FILETIME time{};
    ::GetSystemTimeAsFileTime(&time);
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    auto seed = static_cast<std::uint64_t>(time.dwHighDateTime) << 32U ^ time.dwLowDateTime;
    seed ^= static_cast<std::uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15U;
    seed ^= static_cast<std::uint64_t>(::GetCurrentProcessId()) << 16U;
    seed ^= static_cast<std::uint64_t>(::GetCurrentThreadId()) << 40U;
    seed ^= ::GetTickCount();
    // The stack's address differs from run to run.
    seed ^= reinterpret_cast<std::uintptr_t>(&time);
    const auto guard = static_cast<std::uintptr_t>(seed ^ seed >> 32U);
    // Never 0, which is what an unseeded guard would be.
    __stack_chk_guard = guard != 0 ? guard : 0x2B992DDFU;
}

} // namespace
