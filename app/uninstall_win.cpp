// uninstall.exe, which the installer puts beside vintra.exe: starts the uninstaller proper
// (uninstall.bin, made from scripts/windows/uninstall.nsi) from a copy in the temporary folder,
// passing its own arguments on, waits for it and ends with its exit code, so that
// "uninstall.exe /S" returns once everything is removed.
//
// The uninstaller cannot run from the program's folder: it keeps its own file open while it
// runs, and a file that is open cannot be removed. This program holds no file open, so the
// uninstaller can move it out of the folder while it waits (Windows lets a running program's
// file be renamed, not deleted); it is deleted from the temporary folder at the next restart.
// Linked statically: a DLL loaded from the folder would be in use while the folder goes.

#include <windows.h>

#include <string>

namespace {

std::wstring modulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The arguments after the program's own name, as they were given.
std::wstring ownArguments()
{
    const wchar_t *line = GetCommandLineW();
    bool quoted = false;
    for (; *line != L'\0' && (quoted || (*line != L' ' && *line != L'\t')); ++line)
        if (*line == L'"')
            quoted = !quoted;
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

int fail(const wchar_t *text)
{
    MessageBoxW(nullptr, text, L"Удаление программы", MB_OK | MB_ICONSTOP);
    return 2;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const std::wstring self = modulePath();
    const std::wstring folder = self.substr(0, self.find_last_of(L'\\'));
    wchar_t tempFolder[MAX_PATH + 1];
    wchar_t copy[MAX_PATH + 1];
    if (self.empty() || GetTempPathW(MAX_PATH + 1, tempFolder) == 0 ||
        GetTempFileNameW(tempFolder, L"vnu", 0, copy) == 0)
        return fail(L"Не удалось создать временный файл.");
    if (!CopyFileW((folder + L"\\uninstall.bin").c_str(), copy, FALSE)) {
        DeleteFileW(copy);
        return fail(L"Не найден файл uninstall.bin в папке программы.");
    }
    // NSIS takes the folder from /D=, which must come last and unquoted.
    std::wstring command = L"\"" + std::wstring(copy) + L"\" " + ownArguments() + L" /D=" + folder;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(copy, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        DeleteFileW(copy);
        return fail(L"Не удалось запустить удаление.");
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 2;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    // The copy is free once its process is gone; should the system still hold it a moment, it
    // goes at the next restart.
    if (!DeleteFileW(copy))
        MoveFileExW(copy, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return int(status);
}
