// Child programs (ffmpeg, ffprobe) run with pipes, and the byte plumbing
// around them. POSIX only: vdhost is the Linux host.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

struct ChildProcess {
    pid_t pid = -1;
    int stdinFd = -1;    // our end of the child's stdin, when piped
    int stdoutFd = -1;   // our end of the child's stdout, when piped
    std::string stderrPath;  // the child's stderr goes to this temporary file
};

struct ChildPipes {
    bool pipeStdin = false;
    bool pipeStdout = false;
};

// Searches PATH for an executable; false when none is found.
bool FindExecutable(const std::string& name, std::string& path);

// Starts argv[0] (a full path) with the requested pipes; stdin not piped reads
// /dev/null. No descriptor of ours leaks into the child.
bool SpawnChild(const std::vector<std::string>& argv, ChildPipes pipes, ChildProcess& child, std::string& error);

// Closes our pipe ends, waits, removes the stderr file. True when the child
// exited with status 0; lastStderrLine gets its last non-empty stderr line.
bool FinishChild(ChildProcess& child, std::string& lastStderrLine);

// Closes our end of the child's stdin so it sees end of input.
void CloseChildStdin(ChildProcess& child);

// Stops a child we are abandoning (a failure elsewhere) and reaps it.
void AbortChild(ChildProcess& child);

// Reads until count bytes or end of input; got says how many arrived.
bool ReadFully(int fd, void* data, size_t count, size_t& got);
bool WriteFully(int fd, const void* data, size_t count);

// Runs a child to completion and returns its stdout (bounded).
bool CaptureOutput(const std::vector<std::string>& argv, std::string& output, std::string& error);
