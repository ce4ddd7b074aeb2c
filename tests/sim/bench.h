// A test bench for the box model: a PC that sends bytes at a speed, a line
// that carries them at their real byte time and respects the box's flow
// control, and a virtual clock that runs the box's timed actions in order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "box.h"
#include "line.h"

namespace boxtest {

class Bench {
public:
    explicit Bench(boxmodel::Scenario scenario, boxmodel::PcClock clock = {}, std::uint32_t pcBaud = 115200)
        : box(std::move(scenario), std::move(clock), 0), pcBaud(pcBaud) {}

    // The PC sends the bytes at its current speed; each reaches the box one
    // byte time after the previous one, waiting while the box takes no input.
    // Returns how many bytes the box took (fewer when it stopped reading).
    std::size_t send(std::string_view bytes) {
        std::size_t taken = 0;
        for (const char c : bytes) {
            while (!box.acceptsInput(nowUs)) {
                const std::uint64_t next = box.nextEventUs();
                if (next == simline::kNoEvent) return taken;
                runUntil(next);
            }
            runUntil(nowUs + simline::byteTimeUs(pcBaud));
            box.receive(static_cast<std::uint8_t>(c), pcBaud, nowUs);
            collect();
            ++taken;
        }
        return taken;
    }
    std::size_t send(const std::vector<std::uint8_t>& bytes) {
        return send(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

    void waitMs(std::uint64_t ms) { runUntil(nowUs + ms * 1000); }

    // Runs the box's timed actions up to the given moment.
    void runUntil(std::uint64_t untilUs) {
        while (box.nextEventUs() <= untilUs) {
            nowUs = std::max(nowUs, box.nextEventUs());
            box.onTimer(nowUs);
            collect();
        }
        nowUs = std::max(nowUs, untilUs);
    }

    // Everything the box has said so far, as the PC heard it at its speed, and
    // then forgets it.
    std::string takeHeard() {
        std::string out;
        out.swap(heard);
        return out;
    }

    boxmodel::Box box;
    std::uint32_t pcBaud;
    std::uint64_t nowUs = 0;
    std::string heard;
    std::vector<simline::Peer::Transmission> transmissions;

private:
    void collect() {
        for (auto& t : box.takeOutbox()) {
            for (const std::uint8_t b : t.bytes)
                heard.push_back(static_cast<char>(t.baud == pcBaud ? b : simline::garble(b, t.baud, pcBaud)));
            transmissions.push_back(std::move(t));
        }
    }
};

}  // namespace boxtest
