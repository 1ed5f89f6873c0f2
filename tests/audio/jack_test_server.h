// A private JACK server with the dummy backend for end-to-end device tests: 16 capture and 8
// playback channels at 48000 Hz in 256-frame periods, under a name unique to this process and
// instance. Clients reach it through JACK_DEFAULT_SERVER (see env()). Header-only; POSIX.
#pragma once

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace mixengine::testing {

class JackTestServer {
  public:
    JackTestServer() {
        static std::atomic<int> counter{0};
        name_ = "mixengine-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        pid_ = fork();
        if (pid_ == 0) {
#ifdef __linux__
            // A test that dies without its destructor must not leave the server behind.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execlp("jackd", "jackd", "--no-realtime", "-n", name_.c_str(), "-d", "dummy", "-r",
                   "48000", "-p", "256", "-C", "16", "-P", "8", static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    ~JackTestServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

    JackTestServer(const JackTestServer&) = delete;
    JackTestServer& operator=(const JackTestServer&) = delete;

    // Polls until the server accepts a client; false if it has not within the timeout (or died).
    bool wait_ready(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (pid_ <= 0 || waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            jack_status_t status;
            const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
            if (jack_client_t* c = jack_client_open("probe", options, &status, name_.c_str())) {
                jack_client_close(c);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    const std::string& name() const { return name_; }
    std::string env() const { return "JACK_DEFAULT_SERVER=" + name_; }

  private:
    std::string name_;
    pid_t pid_ = -1;
};

}  // namespace mixengine::testing
