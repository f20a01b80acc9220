// One GET_INFO exchange with a host program on Windows, as a browser makes it, bounded in time.
#include <windows.h>

#include "doctor.h"
#include "i18n.h"

namespace Doctor {
namespace {

using Clock = std::chrono::steady_clock;

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    HANDLE* out() { return &handle_; }
    void reset() {
        if (handle_ && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

// A command line argument quoted as CommandLineToArgvW reads it back.
std::string Quote(const std::string& argument) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

}  // namespace

std::string OwnHostPath() {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, length < sizeof self ? length : 0);
    return path.substr(0, path.find_last_of("\\/") + 1) + "veldra-native-host.exe";
}

HostAnswer QueryHost(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds limit) {
    HostAnswer answer;
    const Clock::time_point deadline = Clock::now() + limit;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle inRead, inWrite, outRead, outWrite;
    if (!CreatePipe(inRead.out(), inWrite.out(), &inherit, 0) ||
        !CreatePipe(outRead.out(), outWrite.out(), &inherit, 0)) {
        answer.error = _("no pipe");
        return answer;
    }
    SetHandleInformation(inWrite.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
    Handle nul(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead.get();
    startup.hStdOutput = outWrite.get();
    startup.hStdError = nul.get();
    std::string line = Quote(program);
    for (const std::string& arg : args) line += " " + Quote(arg);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        answer.error = Utils::i18n_format(_("cannot start it (error {1})"), {std::to_string(GetLastError())});
        return answer;
    }
    Handle processHandle(process.hProcess), thread(process.hThread);
    inRead.reset();
    outWrite.reset();
    nul.reset();
    const std::string request = GetInfoFrame();
    DWORD written = 0;
    WriteFile(inWrite.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
    inWrite.reset();

    std::string output;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(outRead.get(), nullptr, 0, nullptr, &available, nullptr)) break;  // the host closed it
        if (available == 0) {
            if (Clock::now() >= deadline) {
                TerminateProcess(processHandle.get(), 1);
                WaitForSingleObject(processHandle.get(), 1000);
                answer.error = Utils::i18n_format(_("no answer within {1} s"), {std::to_string(limit.count() / 1000)});
                return answer;
            }
            Sleep(2);
            continue;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(outRead.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        output.append(buffer, got);
        if (output.size() > 65536) break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (WaitForSingleObject(processHandle.get(), left > 0 ? static_cast<DWORD>(left) : 0) != WAIT_OBJECT_0) {
        TerminateProcess(processHandle.get(), 1);
        answer.error = _("it did not exit after answering");
        return answer;
    }
    DWORD code = 0;
    GetExitCodeProcess(processHandle.get(), &code);
    return ReadHostAnswer(output, static_cast<long>(code));
}

}  // namespace Doctor
