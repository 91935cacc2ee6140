// Test bodies and programs run in child processes, for real crashes and
// signals that must not take the test process down.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Forks, runs `body` in the child and exits with what it returns; the
// child's wait status. A non-zero `alarmSeconds` ends a hang as SIGALRM.
inline int waitStatusOfChild(const std::function<int()>& body, unsigned alarmSeconds = 0) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (alarmSeconds != 0)
            alarm(alarmSeconds);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// The child's exit code (0 = passed), or 100 + the signal that ended it.
inline int exitCodeOfChild(const std::function<int()>& body, unsigned alarmSeconds = 0) {
    const int status = waitStatusOfChild(body, alarmSeconds);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// A forked child that runs `prepare`, then waits to be killed: a live process
// for the tests that read another one. The destructor kills and reaps it.
class PausedChild {
  public:
    explicit PausedChild(const std::function<void()>& prepare = [] {}) {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            prepare();
            char c = 1;
            (void)!write(ready[1], &c, 1);
            for (;;)
                pause();
        }
        char c;
        ready_ = pid_ > 0 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
        close(ready[1]);
    }
    ~PausedChild() { stop(); }
    PausedChild(const PausedChild&) = delete;
    PausedChild& operator=(const PausedChild&) = delete;

    // True once the child has run `prepare` and waits.
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    // Kills and reaps the child; pid() stays what it was.
    void stop() {
        if (pid_ > 0 && !stopped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        stopped_ = true;
    }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
    bool stopped_ = false;
};

struct ChildResult {
    bool finished = false;  // false: killed after 60 seconds
    int status = 0;
};

// Runs `program` with `args` in `folder`, which also holds its caches, home
// and temporary files, with its output silenced. The sanitizers' handling of
// the crash signals is switched off in the child (their handlers would print
// and exit instead of letting crash capture see the signal); the rest of
// the sanitizers stays on. The child's id goes to `childPid` when given.
inline ChildResult runCrashingProgram(const std::string& program, const std::vector<std::string>& args,
                                      const std::string& folder, pid_t* childPid = nullptr) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0)
            _exit(120);
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
        }
        std::vector<std::string> env = {
            "XDG_CACHE_HOME=" + folder, "TMPDIR=" + folder, "HOME=" + folder,
            "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
            "allow_user_segv_handler=1:use_sigaltstack=0:detect_leaks=0",
            "UBSAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0"};
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> envp, argv;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(121);
    }
    if (childPid != nullptr)
        *childPid = pid;
    ChildResult result;
    for (int i = 0; i < 6000; ++i) {
        if (waitpid(pid, &result.status, WNOHANG) == pid) {
            result.finished = true;
            return result;
        }
        struct timespec pause {
            0, 10'000'000
        };
        nanosleep(&pause, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &result.status, 0);
    return result;
}

}  // namespace testsupport
