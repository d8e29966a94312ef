// The host end of the line for the virtual unit's tests: the slave opened and set up as a
// download tool does it, a small encoder for the download messages, and vx7r-sim's options.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "seeded_image.h"
#include "sim_options.h"
#include "virtual_unit.h"

namespace vx7r::testing {

using Bytes = std::vector<uint8_t>;

using romlift::testing::ImageXor;

inline Bytes Header(uint16_t code) {
    const auto h = ExpectedHeader(code);
    return {h.begin(), h.end()};
}

inline Bytes Image(size_t size) {
    return romlift::testing::SeededImage(size);
}

// vx7r-sim's options from a command line split at blanks; a usage error fails the test.
inline SimOptions ParseArgs(const std::string& line) {
    std::vector<std::string> words{"vx7r-sim"};
    std::istringstream in(line);
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    std::vector<const char*> argv;
    for (const std::string& w : words) {
        argv.push_back(w.c_str());
    }
    SimOptions options;
    std::string error;
    EXPECT_TRUE(ParseSimOptions(static_cast<int>(argv.size()), argv.data(), &options, &error))
        << line << ": " << error;
    return options;
}

struct Message {
    Phase phase;
    Bytes bytes;
};

// Every message of one download of `image`, in order.
inline std::vector<Message> Messages(const Bytes& image, uint16_t code = 10) {
    std::vector<Message> messages{{Phase::WakeUp, {0x99}},
                                  {Phase::Header, Header(code)},
                                  {Phase::Checksum, {ImageXor(image)}}};
    size_t at = 0;
    do {  // an empty image still goes as one empty frame
        Bytes data(image.begin() + at, image.begin() + std::min(image.size(), at + 50));
        Bytes f(data.size() + 4);
        f[0] = static_cast<uint8_t>(data.size());
        f[1] = static_cast<uint8_t>(at);
        f[2] = static_cast<uint8_t>(at >> 8);
        std::copy(data.begin(), data.end(), f.begin() + 3);
        f.back() = ImageXor(data);
        messages.push_back({Phase::Frame, f});
        at += 50;
    } while (at < image.size());
    messages.push_back({Phase::End, {0xCC, ImageXor(image)}});
    return messages;
}

// What a unit that accepts `m` answers.
inline uint8_t GoodAnswer(const Message& m) {
    switch (m.phase) {
        case Phase::WakeUp:
        case Phase::Checksum:
            return m.bytes[0];
        case Phase::End:
            return 0xCC;
        default:
            return 0x01;
    }
}

class Host {
  public:
    explicit Host(std::string path, speed_t speed = B9600) : path_(std::move(path)), speed_(speed) {
        Open();
    }
    ~Host() { Close(); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    int fd() const { return fd_; }

    void Open() {
        fd_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            cfsetispeed(&t, speed_);
            cfsetospeed(&t, speed_);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    void Close() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    bool Send(const Bytes& bytes) {
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Up to n bytes; fewer when the line stays quiet for quietMs.
    Bytes Read(size_t n, int quietMs = 2000) {
        Bytes got(n);
        size_t have = 0;
        pollfd p{fd_, POLLIN, 0};
        while (have < n && poll(&p, 1, quietMs) == 1 && (p.revents & POLLIN)) {
            ssize_t r = read(fd_, got.data() + have, n - have);
            if (r <= 0) {
                break;
            }
            have += r;
        }
        got.resize(have);
        return got;
    }

    // The single answer byte to `message`, or -1 when none came.
    int Ask(const Bytes& message) {
        Bytes answer = Send(message) ? Read(1) : Bytes{};
        return answer.empty() ? -1 : answer[0];
    }

    // Plays `messages`, expecting the good answer to each, except that message `at` gets whatever
    // comes within 100 ms (returned). With `stop`, the run ends at `at`.
    Bytes Play(const std::vector<Message>& messages, size_t at, bool stop) {
        Bytes odd;
        for (size_t i = 0; i < messages.size(); ++i) {
            if (i == at) {
                odd = Send(messages[i].bytes) ? Read(2, 100) : Bytes{};
                if (stop) {
                    break;
                }
            } else if (Ask(messages[i].bytes) != GoodAnswer(messages[i])) {
                ADD_FAILURE() << "message " << i << " (" << PhaseName(messages[i].phase)
                              << ") not answered as a good one";
                break;
            }
        }
        return odd;
    }

    // A whole download as a correct host runs it, including the close and reopen after the
    // wake-up. Returns the answers; stops at the first answer that is not the expected one.
    Bytes Download(const Bytes& image, uint16_t code = 10) {
        Bytes answers;
        for (const Message& m : Messages(image, code)) {
            int got = Ask(m.bytes);
            if (got >= 0) {
                answers.push_back(static_cast<uint8_t>(got));
            }
            if (got != GoodAnswer(m)) {
                break;
            }
            if (m.phase == Phase::WakeUp) {
                Close();
                Open();
            }
        }
        return answers;
    }

    static Bytes GoodAnswers(const Bytes& image) {
        Bytes answers;
        for (const Message& m : Messages(image)) {
            answers.push_back(GoodAnswer(m));
        }
        return answers;
    }

  private:
    std::string path_;
    speed_t speed_;
    int fd_ = -1;
};

}  // namespace vx7r::testing
