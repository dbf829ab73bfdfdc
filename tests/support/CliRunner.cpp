#include "CliRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

std::string Slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TCliChild::TCliChild(const std::vector<std::string>& args, const TTempDir& dir, const std::string& tag,
                     const std::vector<std::string>& launcher)
    : OutFile(dir / (tag + ".stdout.txt")), ErrFile(dir / (tag + ".stderr.txt")) {
    std::vector<char*> argv;
    for (const auto& a : launcher) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(const_cast<char*>(ATLAS_CLI_PATH));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Pid = ::fork();
    if (Pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int o = ::open(OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0), ::dup2(o, 1), ::dup2(e, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
}

TCliChild::~TCliChild() {
    if (Pid <= 0) return;
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
}

bool TCliChild::WaitForErr(const std::string& text, std::chrono::milliseconds limit) const {
    bool seen = false;
    const auto exited = [this] {
        siginfo_t info{};
        return Pid <= 0 || (::waitid(P_PID, id_t(Pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == Pid);
    };
    // Polled often: a test kills the program a set time after the text appears.
    WaitUntil([&] { return (seen = Slurp(ErrFile).find(text) != std::string::npos) || exited(); }, limit,
              [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    return seen;
}

void TCliChild::Signal(int sig) const {
    if (Pid > 0) ::kill(Pid, sig);
}

TRun TCliChild::Wait() {
    int status = 0;
    ::waitpid(Pid, &status, 0);
    Pid = -1;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    return {code, Slurp(OutFile), Slurp(ErrFile)};
}

TRun RunCli(const std::vector<std::string>& args, const TTempDir& dir) { return TCliChild(args, dir).Wait(); }
