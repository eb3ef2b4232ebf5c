#include "process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char **environ;

namespace quillon::testing {

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::map<std::string, std::string> &environment,
                           const std::string &logFile) {
    std::map<std::string, std::string> merged;
    for (char **entry = environ; *entry; entry++)
        if (const char *equals = strchr(*entry, '=')) merged[std::string(*entry, equals - *entry)] = equals + 1;
    for (const auto &[name, value] : environment)
        if (value.empty()) merged.erase(name);
        else merged[name] = value;
    std::vector<std::string> strings;
    for (const auto &[name, value] : merged) strings.push_back(name + "=" + value);
    std::vector<char *> envp, args;
    for (auto &s : strings) envp.push_back(s.data());
    for (const auto &s : argv) args.push_back(const_cast<char *>(s.c_str()));  // posix_spawn copies, never writes
    envp.push_back(nullptr), args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

std::map<std::string, std::string> session_environment(const std::string &home, const std::string &busAddress) {
    return {{"HOME", home}, {"XDG_CONFIG_HOME", ""}, {"XDG_DATA_HOME", ""}, {"XDG_STATE_HOME", ""}, {"DBUS_SESSION_BUS_ADDRESS", busAddress}};
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void ChildProcess::signal(int signo) {
    if (pid_ > 0 && !status_) kill(pid_, signo);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) return status_;
    int raw;
    if (eventually([&] { return waitpid(pid_, &raw, WNOHANG) == pid_; }, timeout))
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_;
}

int ChildProcess::wait() {
    int raw;
    if (!status_ && pid_ > 0 && waitpid(pid_, &raw, 0) == pid_) status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_.value_or(-1);
}

}  // namespace quillon::testing
