// Win32 half of the platform layer: CreateFileW, CreateFileMappingW and
// MapViewOfFile. This file must not include image_probe.hpp: winnt.h
// defines IMAGE_FILE_MACHINE_I386 as a macro.
#include "file_view.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>

namespace isi386 {

file_handle open_file(const path_char* path)
{
    // No dialog may ever wait in front of a script: not for a drive without
    // a medium, nor for a fault.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // A 32-bit process on 64-bit Windows that opens System32 is given
    // SysWOW64 instead; the path must name the file examined. Elsewhere
    // there is nothing to turn off, and the call fails harmlessly.
    void* redirection = nullptr;
    const BOOL unredirected = ::Wow64DisableWow64FsRedirection(&redirection);
    // Readers may share the file; writers and deleters are kept out while
    // it is examined, and nothing is ever created.
    const HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (unredirected != 0) {
        ::Wow64RevertWow64FsRedirection(redirection);
    }
    return file;
}

mapping_handle create_mapping(file_handle file)
{
    // Maximum size 0, 0: the mapping has the file's current size. An empty
    // file cannot be mapped and fails here.
    return ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
}

file_view map_view(file_handle file, mapping_handle mapping)
{
    // The mapping was made at the file's size, and FILE_SHARE_READ keeps
    // anyone from changing that size while the file is open.
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size) == 0 || static_cast<std::uint64_t>(size.QuadPart) > SIZE_MAX) {
        return {};
    }
    // Bytes to map 0: the view spans the whole mapping.
    const void* const data = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (data == nullptr) {
        return {};
    }
    return {static_cast<const std::byte*>(data), static_cast<std::size_t>(size.QuadPart)};
}

void close_file(file_handle file)
{
    ::CloseHandle(file);
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

LONG WINAPI on_fault(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD* const record = exception->ExceptionRecord;
    // For both codes ExceptionInformation[1] is the address that could not
    // be read.
    if (resume_at == nullptr || record->NumberParameters < 2 ||
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

// Fills `context` with the state read_view will have when this returns.
// RtlCaptureContext records the state its caller will have once it has
// returned: on x86-64 that caller is read_view itself, so this is inlined
// into it; on x86 it is the caller's caller, found through EBP, so this is a
// function of its own with a frame pointer (see CMakeLists.txt), and a
// resumed context returns from it a second time.
#ifdef __i386__
[[gnu::noinline]] void capture(CONTEXT* context)
{
    ::RtlCaptureContext(context);
    // Code after the call keeps it from becoming a jump, which would leave
    // read_view's frame for the caller's caller.
    __asm__ volatile("" ::: "memory");
}
#else
[[gnu::always_inline]] inline void capture(CONTEXT* context)
{
    ::RtlCaptureContext(context);
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
    faulted = false;
    capture(&resume);
    if (!faulted) {
        guarded_data = view.data();
        guarded_size = view.size();
        resume_at = &resume; // armed only now that the context is filled
        machine = read(view);
        resume_at = nullptr;
    }
    if (handler != nullptr) {
        ::RemoveVectoredExceptionHandler(handler);
    }
    if (!faulted) {
        return true;
    }
    // Shrunk when the file no longer holds the byte that faulted.
    machine = std::nullopt;
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(file, &size) != 0 && size.QuadPart >= 0 &&
           static_cast<std::uint64_t>(size.QuadPart) <= fault_offset;
}

} // namespace isi386
