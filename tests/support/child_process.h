// Runs the mixengine executable as a child process for end-to-end tests: write lines to its
// standard input, read its standard output line by line with a deadline, collect standard error,
// and wait for its exit status. Header-only; POSIX.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace mixengine::testing {

class ChildProcess {
  public:
    // Starts `program` with `args`; `env` entries ("NAME=value") are added to the environment.
    // The descriptors in `closed` (0, 1 or 2) start closed in the child, not redirected.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {}, const std::vector<int>& closed = {}) {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
            for (int fd : closed) close(fd);
            for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
        fcntl(stderr_, F_SETFL, O_NONBLOCK);
        signal(SIGPIPE, SIG_IGN);
    }

    ~ChildProcess() {
        close_stdin();
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {stdout_, stderr_})
            if (fd >= 0) close(fd);
    }

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    void write_line(const std::string& line) { write_text(line + "\n"); }

    void write_text(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

    void close_stdin() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }

    // The reader goes away: the child's writes to standard output fail from now on.
    void close_stdout() {
        if (stdout_ >= 0) close(stdout_);
        stdout_ = -1;
        eof_ = true;
    }

    // Shrinks the pipe of standard output (to one page at least), so that a reader that stops
    // reading blocks the child's writes almost at once.
    void shrink_stdout_pipe(int bytes) { fcntl(stdout_, F_SETPIPE_SZ, bytes); }

    // The next line of standard output, or nothing if none arrives before the timeout or the
    // output ends.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            drain_stderr();
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            if (eof_) return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
            if (n <= 0)
                eof_ = true;
            else
                buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Reads lines until one contains `needle`; returns it, or nothing on timeout or end.
    std::optional<std::string> read_until(const std::string& needle,
                                          std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            auto line = read_line(left);
            if (!line) return std::nullopt;
            if (line->find(needle) != std::string::npos) return line;
        }
    }

    // Waits for the exit status (or -1 after the timeout, when the child is killed).
    int wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            drain_stderr();
            int st = 0;
            const pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                drain_stderr();
                return *status_;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                status_ = -1;
                return -1;
            }
            usleep(2000);
        }
    }

    // Everything still unread on standard output (after the child has ended).
    std::string rest_of_output() {
        std::string all;
        while (auto line = read_line(std::chrono::milliseconds(2000))) all += *line + "\n";
        return all;
    }

    const std::string& stderr_text() {
        drain_stderr();
        return stderr_text_;
    }

  private:
    void drain_stderr() {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(stderr_, chunk, sizeof chunk);
            if (n <= 0) return;
            stderr_text_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    std::string buffer_;
    std::string stderr_text_;
    bool eof_ = false;
    std::optional<int> status_;
};

}  // namespace mixengine::testing
