// The contract's harness on the Win32 backend, run under Wine by
// tools/wine-test.sh: a fresh folder per case as the root, the far end of
// COM1 outside this program (the script's echoing pseudo-terminal), and
// child processes started with CreateProcess.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>

namespace contract {

const char* Backend() { return "win32"; }

Root::Root() {
    static int serial = 0;
    wchar_t base[MAX_PATH], dir[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"KESTA_CONTRACT_TMP", base, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) GetTempPathW(MAX_PATH, base);
    size_t len = wcslen(base);
    if (len > 0 && base[len - 1] == L'\\') base[len - 1] = 0;
    swprintf(dir, MAX_PATH, L"%ls\\contract-%lu-%d", base, (unsigned long)GetCurrentProcessId(), ++serial);
    CreateDirectoryW(dir, 0);
    SetEnvironmentVariableW(L"KESTA_GPS_ROOT", dir);
    wchar_t data[MAX_PATH];
    swprintf(data, MAX_PATH, L"%ls\\DataStorage", dir);
    CreateDirectoryW(data, 0);
}

Root::~Root() {}

bool LineAvailable(std::string* why) {
    wchar_t v[16];
    DWORD n = GetEnvironmentVariableW(L"KESTA_CONTRACT_LINE", v, 16);
    if (n > 0 && n < 16 && wcscmp(v, L"echo") == 0) return true;
    *why = "COM1 has no echoing far end here: tools/wine-test.sh provides one (KESTA_CONTRACT_LINE=echo)";
    return false;
}

struct Line::Impl {};
Line::Line() : impl_(0) {}
Line::~Line() {}

struct Child::Impl {
    PROCESS_INFORMATION pi;
    wchar_t errPath[MAX_PATH];
};

Child::Child(const std::vector<std::string>& roleArgs) : impl_(new Impl) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(0, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" --role";
    for (size_t i = 0; i < roleArgs.size(); ++i) cmd += L" " + std::wstring(roleArgs[i].begin(), roleArgs[i].end());
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"kce", 0, impl_->errPath);
    SECURITY_ATTRIBUTES sa = {sizeof sa, 0, TRUE};
    HANDLE err = CreateFileW(impl_->errPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, 0);
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = err;
    si.hStdError = err;
    memset(&impl_->pi, 0, sizeof impl_->pi);
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(0);
    if (!CreateProcessW(self, &line[0], 0, 0, TRUE, 0, 0, 0, &si, &impl_->pi))
        ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
    CloseHandle(err);
}

Child::~Child() {
    if (impl_->pi.hProcess) {
        if (Wait(0) < 0) Kill();
        CloseHandle(impl_->pi.hProcess);
        CloseHandle(impl_->pi.hThread);
    }
    DeleteFileW(impl_->errPath);
    delete impl_;
}

int Child::Wait(int timeoutMs) {
    if (!impl_->pi.hProcess || WaitForSingleObject(impl_->pi.hProcess, (DWORD)timeoutMs) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(impl_->pi.hProcess, &code);
    return (int)code;
}

void Child::Kill() {
    if (impl_->pi.hProcess) TerminateProcess(impl_->pi.hProcess, 137);
}

std::string Child::Err() {
    HANDLE h = CreateFileW(impl_->errPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, 0);
    std::string out;
    if (h == INVALID_HANDLE_VALUE) return out;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, 0) && n > 0) out.append(buf, n);
    CloseHandle(h);
    return out;
}

}  // namespace contract

int main(int argc, char** argv) {
    int code = contract::Role(argc, argv);
    if (code >= 0) return code;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
