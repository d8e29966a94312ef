#include "unit_exchange.h"

#include <algorithm>
#include <span>

#include "hex.h"

namespace vx7r {

const char* PhaseName(Phase phase) {
    switch (phase) {
        case Phase::WakeUp:
            return "wake-up";
        case Phase::Header:
            return "header";
        case Phase::Checksum:
            return "checksum";
        case Phase::Frame:
            return "frame";
        case Phase::End:
            return "end";
    }
    return "?";
}

std::string Hex(uint8_t byte) {
    return "0x" + romlift::Hex(std::span(&byte, 1), romlift::HexCase::Upper);
}

std::array<uint8_t, kHeaderSize> ExpectedHeader(uint16_t code) {
    std::array<uint8_t, kHeaderSize> header{};
    header[0] = 0x14;
    header[1] = code & 0xFF;
    header[2] = code >> 8;
    header[3] = 0x18;
    header[7] = (code == 510 || code == 520) ? 1 : 0;
    header[11] = 1;
    header[12] = code == 30 ? 0 : 1;
    return header;
}

uint8_t XorOf(const uint8_t* data, size_t size) {
    uint8_t x = 0;
    for (size_t i = 0; i < size; ++i) {
        x ^= data[i];
    }
    return x;
}

int FrameCount(size_t imageSize) {
    return imageSize == 0 ? 1 : static_cast<int>((imageSize + kFrameData - 1) / kFrameData);
}

std::vector<uint8_t> FrameMessage(size_t offset, const uint8_t* data, size_t size) {
    std::vector<uint8_t> frame(size + 4);
    frame[0] = static_cast<uint8_t>(size);
    frame[1] = static_cast<uint8_t>(offset & 0xFF);
    frame[2] = static_cast<uint8_t>((offset >> 8) & 0xFF);
    std::copy(data, data + size, frame.begin() + 3);
    frame[3 + size] = XorOf(data, size);
    return frame;
}

uint8_t AcceptingAnswer(Phase phase, uint8_t first) {
    switch (phase) {
        case Phase::WakeUp:
            return kWakeUp;
        case Phase::Checksum:
            return first;
        case Phase::End:
            return kEndMark;
        case Phase::Header:
        case Phase::Frame:
            break;
    }
    return kAccepted;
}

size_t UnitExchange::MessageLength(const std::vector<uint8_t>& pending, Phase* phase) const {
    if (pending.empty()) {
        return 0;
    }
    const uint8_t first = pending[0];
    // A wake-up byte starts a new attempt anywhere but where the checksum byte is due.
    if (expect_ != Expect::Checksum && first == kWakeUp) {
        *phase = Phase::WakeUp;
        return 1;
    }
    switch (expect_) {
        case Expect::WakeUp:
            return 0;
        case Expect::Header:
            *phase = Phase::Header;
            return kHeaderSize;
        case Expect::Checksum:
            *phase = Phase::Checksum;
            return 1;
        case Expect::Frames:
            *phase = first == kEndMark ? Phase::End : Phase::Frame;
            return first == kEndMark ? 2 : first + 4;
    }
    return 0;
}

UnitExchange::Verdict UnitExchange::Judge(Phase phase, const std::vector<uint8_t>& message) {
    Verdict v;
    switch (phase) {
        case Phase::WakeUp:
            ++attempt_;
            checksum_ = dataXor_ = 0;
            received_ = 0;
            frame_ = 0;
            lastFrameSize_ = -1;
            v.answer = kWakeUp;
            break;
        case Phase::Header: {
            const uint16_t code = message[1] | (message[2] << 8);
            const auto expected = ExpectedHeader(code);
            std::string wrong;
            for (size_t i = 0; i < kHeaderSize; ++i) {
                if (message[i] != expected[i]) {
                    wrong += (wrong.empty() ? "" : ", ") + std::string("byte ") +
                             std::to_string(i) + " is " + Hex(message[i]) + ", expected " +
                             Hex(expected[i]);
                }
            }
            v.answer = kAccepted;
            if (!wrong.empty()) {
                v.answer = kMalformed;
                v.problems.push_back(Where() + ": header not well formed: " + wrong);
            } else if (code != typeCode_) {
                v.answer = kWrongModel;
            }
            break;
        }
        case Phase::Checksum:
            checksum_ = message[0];
            v.answer = message[0];
            break;
        case Phase::Frame: {
            ++frame_;
            const size_t n = message[0];
            const unsigned offset = message[1] | (message[2] << 8);
            const unsigned expectedOffset = received_ & 0xFFFF;
            const uint8_t sum = XorOf(message.data() + 3, n);
            std::string wrong;
            auto note = [&](const std::string& what) {
                wrong += (wrong.empty() ? "" : ", ") + what;
            };
            if (n > kFrameData) {
                note("carries " + std::to_string(n) + " bytes, more than 50");
            }
            if (offset != expectedOffset) {
                note("offset is " + std::to_string(offset) + ", expected " +
                     std::to_string(expectedOffset));
            }
            if (sum != message[3 + n]) {
                note("XOR byte is " + Hex(message[3 + n]) + " but the data gives " + Hex(sum));
            }
            const std::string name = Where() + ", frame " + std::to_string(frame_) + ": ";
            v.answer = kAccepted;
            if (!wrong.empty()) {
                v.answer = kFrameError;
                v.problems.push_back(name + wrong);
            } else if (lastFrameSize_ >= 0 && lastFrameSize_ < static_cast<int>(kFrameData)) {
                // Accepted on the wire, but not how a download is cut into frames.
                v.problems.push_back(name + "follows a frame of only " +
                                     std::to_string(lastFrameSize_) + " bytes");
            } else if (n == 0 && received_ > 0) {
                v.problems.push_back(name + "is empty after " + std::to_string(received_) +
                                     " bytes");
            }
            break;
        }
        case Phase::End: {
            const uint8_t hostXor = message[1];
            v.answer = kEndMark;
            if (frame_ == 0) {
                v.problems.push_back(Where() + ": end frame before any data frame");
            }
            if (hostXor != dataXor_) {
                v.answer = kFrameError;
                v.problems.push_back(Where() + ": end frame XOR is " + Hex(hostXor) +
                                     " but the accepted data gives " + Hex(dataXor_));
            }
            if (checksum_ != dataXor_) {
                v.problems.push_back(Where() + ": checksum byte " + Hex(checksum_) +
                                     " disagrees with the XOR of the received image " +
                                     Hex(dataXor_));
            }
            break;
        }
    }
    return v;
}

UnitExchange::Settled UnitExchange::Settle(Phase phase, const std::vector<uint8_t>& message,
                                           const std::vector<uint8_t>& answered) {
    Settled s;
    const bool accepted = !answered.empty() && answered[0] == AcceptingAnswer(phase, message.at(0));
    s.ends = !accepted || phase == Phase::End;
    if (phase == Phase::End) {
        s.confirmed = accepted;
    }
    if (phase == Phase::Frame && accepted) {
        const size_t n = message[0];
        s.accepted.assign(message.begin() + 3, message.begin() + 3 + static_cast<long>(n));
        received_ += n;
        dataXor_ ^= XorOf(message.data() + 3, n);
        lastFrameSize_ = static_cast<int>(n);
    }
    return s;
}

void UnitExchange::Advance(Phase phase, bool ends) {
    if (ends) {
        expect_ = Expect::WakeUp;
        return;
    }
    switch (phase) {
        case Phase::WakeUp:
            expect_ = Expect::Header;
            break;
        case Phase::Header:
            expect_ = Expect::Checksum;
            break;
        case Phase::Checksum:
        case Phase::Frame:
            expect_ = Expect::Frames;
            break;
        case Phase::End:
            expect_ = Expect::WakeUp;
            break;
    }
}

}  // namespace vx7r
