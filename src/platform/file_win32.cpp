// Whole files on Windows; names are UTF-8, given to the wide calls.
#include "platform/file.h"

#include <string>

#include "platform/secret.h"
#include "platform/socket.h"
#include "platform/wide_win32.h"

namespace platform {
namespace {

// Closes the handle it holds when it goes.
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

std::string Code(DWORD code) { return ErrorText(static_cast<int>(code)); }

bool IsMissing(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME ||
           code == ERROR_BAD_NETPATH;
}

}  // namespace

FileRead ReadWholeFile(const std::string& path, std::size_t limit, std::string_view too_large, std::string& bytes,
                       std::string& error) {
    bytes.clear();
    std::wstring name;
    if (!Wide(path, name)) {
        error = "no such file";  // no name that is not UTF-8 can be opened
        return FileRead::Missing;
    }
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (IsMissing(code)) {
            error = "no such file";
            return FileRead::Missing;
        }
        error = code == ERROR_ACCESS_DENIED ? "unreadable (permission denied)" : "unreadable: " + Code(code);
        return FileRead::Refused;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "a directory, not a file";
        return FileRead::Refused;
    }
    const Handle file(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = code == ERROR_ACCESS_DENIED ? "unreadable (permission denied)" : "unreadable: " + Code(code);
        return FileRead::Refused;
    }
    LARGE_INTEGER size{};
    if (GetFileType(file.h) != FILE_TYPE_DISK) error = "not a regular file";
    else if (!GetFileSizeEx(file.h, &size)) error = "unreadable: " + Code(GetLastError());
    else if (static_cast<unsigned long long>(size.QuadPart) > limit) error = std::string(too_large);
    if (!error.empty()) return FileRead::Refused;
    // One byte over the limit tells a file that grew since.
    bytes.resize(limit + 1);
    std::size_t got = 0;
    while (error.empty() && got < bytes.size()) {
        DWORD n = 0;
        if (!ReadFile(file.h, bytes.data() + got, static_cast<DWORD>(bytes.size() - got), &n, nullptr))
            error = "unreadable: " + Code(GetLastError());
        else if (n == 0) break;
        got += n;
    }
    if (error.empty() && got > limit) error = std::string(too_large);
    if (!error.empty()) {
        Wipe(bytes.data(), got);
        bytes.clear();
        return FileRead::Refused;
    }
    bytes.resize(got);
    return FileRead::Read;
}

bool ReplaceWholeFile(const std::string& path, std::string_view bytes, std::string& error) {
    std::wstring name;
    std::wstring temporary;
    if (!Wide(path, name) || !Wide(path + ".tmp", temporary)) {
        error = "cannot be written: the name is not UTF-8";
        return false;
    }
    // The handle is closed before the file is renamed or deleted.
    const DWORD failed = [&]() -> DWORD {
        // A file of its own, made anew: what holds the name (one left by a
        // crash, a link to another file) is taken away first, not written
        // through.
        DeleteFileW(temporary.c_str());
        const Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.h == INVALID_HANDLE_VALUE) return GetLastError();
        std::string_view rest = bytes;
        while (!rest.empty()) {
            DWORD n = 0;
            if (!WriteFile(file.h, rest.data(), static_cast<DWORD>(rest.size()), &n, nullptr)) return GetLastError();
            if (n == 0) return ERROR_WRITE_FAULT;
            rest.remove_prefix(n);
        }
        return FlushFileBuffers(file.h) ? ERROR_SUCCESS : GetLastError();
    }();
    if (failed != ERROR_SUCCESS) {
        error = "cannot be written: " + Code(failed);
        DeleteFileW(temporary.c_str());
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot be replaced: " + Code(GetLastError());
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace platform
