#include "platform/WindowAnswer.h"

#include "platform/Utf8.h"

namespace qmb {

namespace {
// Writes text whole to handle; false when the handle takes none of it.
bool WriteAll(HANDLE handle, const std::string& text) {
    if (handle == NULL || handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    return WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, NULL) &&
           written == text.size();
}
}  // namespace

void TellFromWindowProgram(const std::string& text, DWORD standardHandle, bool isError,
                           const std::string& title) {
    if (text.empty()) return;
    if (WriteAll(GetStdHandle(standardHandle), text)) return;
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        HANDLE console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     NULL, OPEN_EXISTING, 0, NULL);
        const bool told = WriteAll(console, text);
        if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
        FreeConsole();
        if (told) return;
    }
    MessageBoxW(NULL, WideFromUtf8(text).c_str(), WideFromUtf8(title).c_str(),
                MB_OK | (isError ? MB_ICONERROR : MB_ICONINFORMATION));
}

}  // namespace qmb
