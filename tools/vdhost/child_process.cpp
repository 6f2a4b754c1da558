#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

bool MakeStderrFile(std::string& path, int& fd) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/vdhost-child-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;
    path = name.data();
    return true;
}

std::string LastNonEmptyLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::string last;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) last = line;
    }
    return last;
}

// Both pipe ends close on exec; the child gets its end through dup2 only.
struct PipePair {
    int readEnd = -1;
    int writeEnd = -1;
};

bool OpenPipe(PipePair& pipe) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    pipe.readEnd = fds[0];
    pipe.writeEnd = fds[1];
    return true;
}

void ClosePipe(PipePair& pipe) {
    CloseFd(pipe.readEnd);
    CloseFd(pipe.writeEnd);
}

bool Spawn(const std::vector<std::string>& argv, const PipePair& in, const PipePair& out, int stderrFd,
           pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (in.readEnd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, in.readEnd, STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (out.writeEnd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out.writeEnd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
    // We ignore SIGPIPE and catch SIGINT; the child gets the usual behaviour.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0;
}

}  // namespace

bool FindExecutable(const std::string& name, std::string& path) {
    if (name.find('/') != std::string::npos) {
        if (access(name.c_str(), X_OK) != 0) return false;
        path = name;
        return true;
    }
    const char* env = std::getenv("PATH");
    std::stringstream dirs(env ? env : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            path = candidate;
            return true;
        }
    }
    return false;
}

bool SpawnChild(const std::vector<std::string>& argv, ChildPipes pipes, ChildProcess& child, std::string& error) {
    child = ChildProcess{};
    PipePair in;
    PipePair out;
    int stderrFd = -1;
    bool ok = (!pipes.pipeStdin || OpenPipe(in)) && (!pipes.pipeStdout || OpenPipe(out)) &&
              MakeStderrFile(child.stderrPath, stderrFd);
    if (!ok) {
        error = std::string("cannot create pipes for ") + argv[0] + ": " + std::strerror(errno);
    } else if (!Spawn(argv, in, out, stderrFd, child.pid)) {
        error = "cannot start " + argv[0];
        ok = false;
    }
    CloseFd(stderrFd);
    CloseFd(in.readEnd);
    CloseFd(out.writeEnd);
    if (!ok) {
        ClosePipe(in);
        ClosePipe(out);
        if (!child.stderrPath.empty()) unlink(child.stderrPath.c_str());
        child = ChildProcess{};
        return false;
    }
    child.stdinFd = in.writeEnd;
    child.stdoutFd = out.readEnd;
    return true;
}

void CloseChildStdin(ChildProcess& child) { CloseFd(child.stdinFd); }

bool FinishChild(ChildProcess& child, std::string& lastStderrLine) {
    CloseFd(child.stdinFd);
    CloseFd(child.stdoutFd);
    int status = 0;
    bool exited = false;
    if (child.pid > 0) {
        pid_t rc;
        do {
            rc = waitpid(child.pid, &status, 0);
        } while (rc < 0 && errno == EINTR);
        exited = rc == child.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (!child.stderrPath.empty()) {
        lastStderrLine = LastNonEmptyLine(child.stderrPath);
        unlink(child.stderrPath.c_str());
    }
    child = ChildProcess{};
    return exited;
}

void AbortChild(ChildProcess& child) {
    if (child.pid > 0) kill(child.pid, SIGTERM);
    std::string ignored;
    FinishChild(child, ignored);
}

bool ReadFully(int fd, void* data, size_t count, size_t& got) {
    got = 0;
    auto* bytes = static_cast<unsigned char*>(data);
    while (got < count) {
        ssize_t n = read(fd, bytes + got, count - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool WriteFully(int fd, const void* data, size_t count) {
    auto* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CaptureOutput(const std::vector<std::string>& argv, std::string& output, std::string& error) {
    ChildProcess child;
    if (!SpawnChild(argv, ChildPipes{false, true}, child, error)) return false;
    constexpr size_t kLimit = 1 << 16;
    output.clear();
    char buffer[4096];
    size_t got = 0;
    while (output.size() < kLimit && ReadFully(child.stdoutFd, buffer, sizeof buffer, got) && got > 0) {
        output.append(buffer, got);
    }
    std::string lastLine;
    if (!FinishChild(child, lastLine)) {
        error = lastLine.empty() ? argv[0] + " failed" : lastLine;
        return false;
    }
    return true;
}
