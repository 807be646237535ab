// Win32 half of the platform layer: CreateFileW, CreateFileMappingW and
// MapViewOfFile. This file must not include image_probe.hpp: winnt.h
// defines IMAGE_FILE_MACHINE_I386 as a macro.
#include "file_view.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#ifndef __i386__
// On x86-64 read_view calls this itself: a resumed context returns from it
// a second time, as from setjmp.
extern "C" NTSYSAPI VOID NTAPI RtlCaptureContext(PCONTEXT context) __attribute__((returns_twice));
#endif

namespace isi386 {

namespace {

using redirection_off = BOOL(WINAPI*)(void** previous);
using redirection_back = BOOL(WINAPI*)(void* previous);

// A KERNEL32 function that older Windows lacks (32-bit XP has no WOW64
// calls): looked up, not imported, so that the program still loads there.
template <typename function> function kernel32_function(const char* name)
{
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel32 != nullptr ? ::GetProcAddress(kernel32, name) : nullptr;
    // Through void (*)(), the one cast GCC takes as between any two
    // function types.
    return reinterpret_cast<function>(reinterpret_cast<void (*)()>(found));
}

// Whether `text` begins with `prefix`, ASCII letters compared without case:
// every name compared here is ASCII.
bool starts_with(const wchar_t* text, const wchar_t* prefix)
{
    const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c; };
    for (; *prefix != 0; ++text, ++prefix) {
        if (upper(*text) != upper(*prefix)) {
            return false;
        }
    }
    return true;
}

// "SERVER\SHARE\...": the pipe and mailslot shares hold no files.
bool names_a_pipe_share(const wchar_t* unc)
{
    while (*unc != 0 && *unc != L'\\') {
        ++unc;
    }
    const auto share = [unc](const wchar_t* name, std::size_t length) {
        return starts_with(unc, name) && (unc[length] == 0 || unc[length] == L'\\');
    };
    return *unc != 0 && (share(L"\\pipe", 5) || share(L"\\mailslot", 9));
}

// What CreateFileW would open for a path, judged before it is called.
enum opens { opens_a_file, opens_a_device, opens_a_volume_root };

// Past a number and a backslash ("7\\..."), or null.
const wchar_t* past_number(const wchar_t* text)
{
    const wchar_t* end = text;
    while (*end >= L'0' && *end <= L'9') {
        ++end;
    }
    return end != text && *end == L'\\' ? end + 1 : nullptr;
}

// Past a volume and the backslash after it, or null: a volume GUID,
// "Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\", or a disk volume or
// shadow copy by its device name, "GLOBALROOT\Device\HarddiskVolume7\" or
// "...\HarddiskVolumeShadowCopy3\". That volume's file system parses the
// rest of the path.
const wchar_t* past_volume(const wchar_t* rest)
{
    if (starts_with(rest, L"Volume{")) {
        const wchar_t* const guid = rest + 7;
        for (std::size_t i = 0; i < 36; ++i) {
            const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            const wchar_t c = guid[i];
            const bool hex =
                (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
            if (dash ? c != L'-' : !hex) {
                return nullptr;
            }
        }
        return guid[36] == L'}' && guid[37] == L'\\' ? guid + 38 : nullptr;
    }
    constexpr std::size_t device = 32; // "GLOBALROOT\Device\HarddiskVolume"
    if (!starts_with(rest, L"GLOBALROOT\\Device\\HarddiskVolume")) {
        return nullptr;
    }
    const wchar_t* const volume = past_number(rest + device);
    if (volume != nullptr || !starts_with(rest + device, L"ShadowCopy")) {
        return volume;
    }
    return past_number(rest + device + 10);
}

// What follows "\\.\", "\\?\" or "\??\": a drive ("C:\"), a volume, or
// "UNC\" and a share that holds files lead to a file; anything else (COM1,
// pipe\NAME, GLOBALROOT\Device\..., C: alone, the volume itself) is a
// device. A volume with nothing after its backslash names its root folder
// (Wine opens the volume device for it).
opens in_namespace(const wchar_t* rest)
{
    const bool letter = (*rest >= L'A' && *rest <= L'Z') || (*rest >= L'a' && *rest <= L'z');
    if (letter && rest[1] == L':' && rest[2] == L'\\') {
        return opens_a_file;
    }
    if (const wchar_t* const path = past_volume(rest)) {
        return *path == 0 ? opens_a_volume_root : opens_a_file;
    }
    return !starts_with(rest, L"UNC\\") || names_a_pipe_share(rest + 4) ? opens_a_device
                                                                        : opens_a_file;
}

// What CreateFileW would open, judged on the path as CreateFileW will see
// it. "\\?\" and "\??\" paths reach the system verbatim, so they are
// judged as given: GetFullPathNameW would fold a ".." that the open never
// folds ("\\?\pipe\..\C:\x" is a pipe). Any other path is judged by the
// platform's own rules: GetFullPathNameW turns a reserved DOS device name
// (COM1, dir\NUL.txt, whatever this Windows counts) into "\\.\NAME", as
// CreateFileW does.
opens what_opens(const wchar_t* path)
{
    if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\?\?\\")) {
        return in_namespace(path + 4);
    }
    // CreateFileW opens the consoles by these names.
    if ((starts_with(path, L"CONIN$") && path[6] == 0) ||
        (starts_with(path, L"CONOUT$") && path[7] == 0)) {
        return opens_a_device;
    }
    const DWORD needed = ::GetFullPathNameW(path, 0, nullptr, nullptr);
    auto* const full =
        needed != 0 ? static_cast<wchar_t*>(std::malloc(needed * sizeof(wchar_t))) : nullptr;
    if (full == nullptr) {
        return opens_a_file; // the open fails the same way, or is checked after it
    }
    const DWORD length = ::GetFullPathNameW(path, needed, full, nullptr);
    opens what = opens_a_file;
    if (length != 0 && length < needed) {
        if (starts_with(full, L"\\\\.\\") || starts_with(full, L"\\\\?\\")) {
            what = in_namespace(full + 4);
        } else if (starts_with(full, L"\\\\") && names_a_pipe_share(full + 2)) {
            what = opens_a_device;
        }
    }
    std::free(full);
    return what;
}

} // namespace

file_handle open_file(const path_char* path)
{
    // No dialog may ever wait in front of a script: not for a drive without
    // a medium, nor for a fault.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // A device is named, never opened: opening a serial port raises its
    // control lines (which resets many boards), opening a pipe connects to
    // its server and uses up an instance. A volume's root is a folder,
    // which CreateFileW refuses without FILE_FLAG_BACKUP_SEMANTICS.
    const opens what = what_opens(path);
    if (what != opens_a_file) {
        return what == opens_a_device ? unopened_special_file : no_file;
    }
    // A 32-bit process on 64-bit Windows that opens System32 is given
    // SysWOW64 instead; the path must name the file examined. Elsewhere
    // there is nothing to turn off: the call is missing, or fails
    // harmlessly.
    const auto off = kernel32_function<redirection_off>("Wow64DisableWow64FsRedirection");
    const auto back = kernel32_function<redirection_back>("Wow64RevertWow64FsRedirection");
    void* redirection = nullptr;
    const bool unredirected = off != nullptr && back != nullptr && off(&redirection) != 0;
    // Readers may share the file; writers and deleters are kept out while
    // it is examined, and nothing is ever created. Should a pipe server be
    // reached after all, it may learn who the caller is but never act as
    // the caller (SECURITY_IDENTIFICATION).
    const HANDLE file = ::CreateFileW(
        path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (unredirected) {
        back(redirection);
    }
    return file;
}

mapping_handle create_mapping(file_handle file)
{
    // Only a file on a disk is mapped. Anything else the path checks let
    // through (under Wine, a Unix FIFO reached through a drive) has been
    // opened, but is never read.
    if (file == unopened_special_file || ::GetFileType(file) != FILE_TYPE_DISK) {
        return nullptr;
    }
    // Maximum size 0, 0: the mapping has the file's current size. An empty
    // file cannot be mapped and fails here.
    return ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
}

file_view map_view(file_handle file, mapping_handle mapping)
{
    // Bytes to map 0: the view spans the whole mapping.
    const void* const data = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (data == nullptr) {
        return {};
    }
    // The view spans what the mapping held when it was made, and another
    // process may have changed the file since (Wine lets a Linux one): no
    // byte past either the view or the file's end may be read.
    MEMORY_BASIC_INFORMATION region{};
    LARGE_INTEGER size{};
    if (::VirtualQuery(data, &region, sizeof region) == 0 || ::GetFileSizeEx(file, &size) == 0 ||
        size.QuadPart < 0) {
        ::UnmapViewOfFile(data);
        return {};
    }
    const auto file_size = static_cast<std::uint64_t>(size.QuadPart);
    const std::size_t span =
        file_size < region.RegionSize ? static_cast<std::size_t>(file_size) : region.RegionSize;
    return {static_cast<const std::byte*>(data), span};
}

void close_file(file_handle file)
{
    if (file != unopened_special_file) {
        ::CloseHandle(file);
    }
}

void close_mapping(mapping_handle mapping)
{
    ::CloseHandle(mapping);
}

void unmap_view(file_view view)
{
    ::UnmapViewOfFile(view.data());
}

namespace {

// The guard's state, set only while read_view runs: the view's bounds and
// the context to resume at. A fault is ours only while `resume_at` is set
// and only at an address inside the view.
CONTEXT* volatile resume_at = nullptr;
const std::byte* volatile guarded_data = nullptr;
volatile std::size_t guarded_size = 0;
volatile std::size_t fault_offset = 0;
volatile bool faulted = false;
volatile DWORD guarded_thread = 0;

LONG WINAPI on_fault(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD* const record = exception->ExceptionRecord;
    // For both codes ExceptionInformation[1] is the address that could not
    // be read.
    // Only the thread that armed the guard is resumed, onto its own stack.
    if (resume_at == nullptr || ::GetCurrentThreadId() != guarded_thread ||
        record->NumberParameters < 2 ||
        (record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR &&
         record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // By subtraction, so an address below the view wraps to a large offset.
    const ULONG_PTR offset =
        record->ExceptionInformation[1] - reinterpret_cast<ULONG_PTR>(guarded_data);
    if (offset >= guarded_size) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    fault_offset = offset;
    faulted = true;
    *exception->ContextRecord = *resume_at;
    resume_at = nullptr;
    return EXCEPTION_CONTINUE_EXECUTION;
}

#ifdef __i386__
// Fills `context` with the state read_view will have when this returns; a
// resumed context returns from it a second time, which the compiler must
// know (returns_twice, as for setjmp). On x86 RtlCaptureContext records the
// state of its caller's caller, found through EBP: hence a function of its
// own with a frame pointer (see CMakeLists.txt). On x86-64 it records its
// caller's, so read_view calls it itself.
[[gnu::noinline, gnu::returns_twice]] void capture(CONTEXT* context)
{
    ::RtlCaptureContext(context);
    // Code after the call keeps it from becoming a jump, which would leave
    // read_view's frame for the caller's caller.
    __asm__ volatile("" ::: "memory");
}
#endif

} // namespace

bool read_view(view_reader read, file_handle file, file_view view,
               std::optional<std::uint16_t>& machine)
{
    // Windows refuses to shrink a file that has a mapped view, but the pages
    // of a network or removable file can still fail to come in:
    // EXCEPTION_IN_PAGE_ERROR. The handler resumes at the context captured
    // here, as if the capture had returned a second time; no longjmp leaves
    // a handler.
    void* const handler = ::AddVectoredExceptionHandler(1, on_fault);
    CONTEXT resume{};
    std::uint64_t end = 0;
    faulted = false;
#ifdef __i386__
    capture(&resume);
#else
    ::RtlCaptureContext(&resume);
#endif
    if (!faulted) {
        guarded_data = view.data();
        guarded_size = view.size();
        guarded_thread = ::GetCurrentThreadId();
        resume_at = &resume; // armed only now that the context is filled
        // No load from the view may move out of the armed window, even
        // with the reader inlined.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        machine = read(view, end);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        resume_at = nullptr;
    }
    if (handler != nullptr) {
        ::RemoveVectoredExceptionHandler(handler);
    }
    LARGE_INTEGER size{};
    const bool sized = ::GetFileSizeEx(file, &size) != 0 && size.QuadPart >= 0;
    return settle_read(sized ? std::optional(static_cast<std::uint64_t>(size.QuadPart))
                             : std::nullopt,
                       faulted, fault_offset, end, machine);
}

} // namespace isi386
