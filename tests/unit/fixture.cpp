#include "fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "main/settings.h"
#include "platform/emulation.h"
#include "platform/emu/codepage.h"
#include "platform/emu/key_security.h"
#include "platform/emu/registry_store.h"
#include "tools/machine/regfile.h"

namespace fs = std::filesystem;

void MachineTest::SetUp() {
    char pattern[] = "/tmp/vtn2-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = fs::path(pattern) / "machine";
    InitMachine(root_);
    setenv("VTN2_MACHINE", root_.c_str(), 1);
    ResetRunSettings();
    emu::ClearCallLog();
    // A debug pause must never wait for a person during a test.
    savedStdin_ = dup(STDIN_FILENO);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    close(devNull);
}

void MachineTest::TearDown() {
    EXPECT_EQ(emu::OutstandingResources(), 0u) << emu::DescribeOutstanding();
    dup2(savedStdin_, STDIN_FILENO);
    close(savedStdin_);
    clearerr(stdin);
    unsetenv("VTN2_MACHINE");
    fs::remove_all(root_.parent_path());
}

void MachineTest::ImportReg(const std::string& body) {
    emu::RegistryTransaction transaction(root_);
    ImportRegText(transaction.registry(), "Windows Registry Editor Version 5.00\n\n" + body,
                  "test.reg");
    transaction.Commit();
}

namespace {

std::string HexUtf16(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        for (unsigned char b : {c, static_cast<unsigned char>(0)}) {
            if (!out.empty()) out += ',';
            out += digits[b >> 4];
            out += digits[b & 15];
        }
    }
    return out;
}

std::string DeviceKey(const std::string& instanceId) {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + instanceId + "]\n";
}

constexpr char kClassGuid[] = "\"ClassGUID\"=\"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\"\n";

}  // namespace

void MachineTest::AddDeviceRaw(const std::string& instanceId, const std::string& hardwareIdBytes) {
    ImportReg(DeviceKey(instanceId) + kClassGuid + "\"HardwareID\"=hex(7):" +
              HexUtf16(hardwareIdBytes) + "\n");
}

void MachineTest::AddDevice(const std::string& instanceId,
                            const std::vector<std::string>& hardwareIds) {
    std::string bytes;
    for (const std::string& id : hardwareIds) bytes += id + '\0';
    AddDeviceRaw(instanceId, bytes + '\0');
}

void MachineTest::AddDeviceWithoutIds(const std::string& instanceId) {
    ImportReg(DeviceKey(instanceId) + kClassGuid);
}

void MachineTest::WriteFaults(const std::string& rules) {
    std::ofstream(root_ / "faults") << rules;
}

void MachineTest::BeginCapture() {
    fflush(stdout);
    ::testing::internal::CaptureStdout();
}

std::string MachineTest::EndCapture() {
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

void MachineTest::SetInput(const std::string& text) {
    fs::path input = root_.parent_path() / "stdin";
    std::ofstream(input, std::ios::binary) << text;
    ASSERT_NE(freopen(input.c_str(), "rb", stdin), nullptr);
}

fs::path MachineTest::OnDriveC(const std::string& windowsPath) const {
    fs::path path = root_ / "drive_c";
    std::string rest = windowsPath.substr(windowsPath.find(':') + 1);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    return path / fs::path(rest).relative_path();
}

void MachineTest::WriteHostFile(const fs::path& path, const std::string& content,
                            long long mtimeSeconds) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    struct timespec times[2] = {{mtimeSeconds, 0}, {mtimeSeconds, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string MachineTest::ReadHostFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void StandinTest::SetUp() {
    MachineTest::SetUp();
    log_ = root_.parent_path() / "standin.log";
    setenv("VTN2_STANDIN_LOG", log_.c_str(), 1);
}

void StandinTest::TearDown() {
    unsetenv("VTN2_STANDIN_LOG");
    MachineTest::TearDown();
}

fs::path StandinTest::System(const std::string& name) const {
    return root_ / "drive_c" / "windows" / "system32" / name;
}

fs::path StandinTest::InstallStandin(const std::string& name) const {
    fs::copy_file(VTN2_STANDIN_PATH, System(name), fs::copy_options::overwrite_existing);
    return System(name);
}

void StandinTest::ConfigureStandins(const std::string& settings) const {
    std::ofstream(System("standin.cfg")) << settings;
}

void StandinTest::ScaleClock(const std::string& scale) const {
    std::ofstream(root_ / "clock") << "scale " << scale << "\n";
}

std::vector<std::string> StandinTest::StandinLog() const { return Lines(ReadHostFile(log_)); }

pid_t StandinTest::ProcessOf(const fs::path& program) {
    std::error_code failed;
    for (fs::directory_iterator entry("/proc", failed), end; !failed && entry != end;
         entry.increment(failed)) {
        const std::string pid = entry->path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code gone;
        if (fs::read_symlink(entry->path() / "exe", gone) == program) return std::stoi(pid);
    }
    return -1;
}

DWORD ErrorOf(BOOL succeeded) { return succeeded ? 0 : GetLastError(); }

std::vector<uint8_t> MultiString(const std::vector<std::string>& strings) {
    std::string text;
    for (const std::string& s : strings) text += s + '\0';
    return emu::Utf8ToUtf16le(text + '\0');
}

std::optional<std::string> InChild(const std::function<std::string()>& body, int seconds) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return std::nullopt;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        std::string result = body();
        if (write(pipeFds[1], result.data(), result.size()) < 0) _exit(2);
        _exit(0);
    }
    close(pipeFds[1]);
    std::string result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool ended = false;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{pipeFds[0], POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        char buffer[4096];
        ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got <= 0) {
            ended = true;
            break;
        }
        result.append(buffer, static_cast<size_t>(got));
    }
    close(pipeFds[0]);
    if (!ended) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!ended) return std::nullopt;
    return result;
}

void ReplaceFile(const fs::path& path, const std::string& text) {
    fs::path temp = path;
    temp += ".new";
    std::ofstream(temp, std::ios::binary) << text;
    fs::rename(temp, path);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

const std::string kStore =
    "vtn2-registry 2\n"
    "next 12\n"
    "K 1 0 =HKEY_CLASSES_ROOT\n"
    "K 2 0 =HKEY_CURRENT_USER\n"
    "K 3 0 =HKEY_LOCAL_MACHINE\n"
    "K 6 3 =SYSTEM\n"
    "K 7 6 =CurrentControlSet\n"
    "K 8 7 =Services\n"
    "K 9 8 =vlqwdzsv\n"
    "V 4 =Start x03000000\n"
    "V 1 =ImagePath x43003a000000\n"
    "K 10 7 =Enum\n"
    "K 4 0 =HKEY_USERS\n"
    "K 5 0 =HKEY_CURRENT_CONFIG\n"
    "end\n";

std::string Store::Complaint() {
    try {
        emu::RegistryTransaction transaction(root_);
        return "";
    } catch (const emu::StoreCorrupt& e) {
        return e.what();
    }
}

PSID NewAdminsSid() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                             0, 0, 0, &sid);
    return sid;
}

void Security::SetUp() {
    MachineTest::SetUp();
    ImportReg(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Key]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Other]\n");
}

void Security::SetSddl(const std::string& sddl) { emu::WriteKeySddl(root_, kKeyPath, sddl); }

std::string Security::Sddl() { return emu::ReadKeySddl(root_, kKeyPath); }

std::vector<BYTE> Security::KeySecurity(HKEY key, SECURITY_INFORMATION information) {
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(key, information, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(size);
    EXPECT_EQ(RegGetKeySecurity(key, information, buffer.data(), &size), ERROR_SUCCESS);
    return buffer;
}
