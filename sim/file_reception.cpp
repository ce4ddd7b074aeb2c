#include "file_reception.h"

#include <string>

#include "box.h"

namespace boxmodel {

bool FileReception::take(std::uint64_t nowUs) {
    if (ended_) return false;
    ++received_;
    const Scenario& scenario = box_.scenario();
    if (faultHere_ && scenario.transferFault != TransferFault::None && received_ == scenario.faultAtByte) {
        strike(nowUs);
        return false;
    }
    if (closed_) return true;
    if (scenario.blockBytes != 0 && received_ % scenario.blockBytes == 0)
        box_.say(scenario.nulNoise ? std::string(".\0", 2) : std::string("."), nowUs);
    if (scenario.sectorBytes != 0 && received_ % scenario.sectorBytes == 0) {
        box_.say("e", nowUs);
        box_.busyFor(scenario.eraseMs + scenario.writeMs, nowUs);
        box_.after(scenario.eraseMs, nowUs, [this](std::uint64_t now) { box_.say("p", now); });
    }
    return true;
}

void FileReception::strike(std::uint64_t nowUs) {
    ended_ = true;
    const Scenario& scenario = box_.scenario();
    const std::string after = " after " + std::to_string(received_ - 1) + " bytes";
    auto abortWith = [&](const std::string& text) {
        box_.say(text, nowUs);
        std::string shown = text;
        while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
        box_.decide(Outcome::Kind::Aborted, "ended the transfer with \"" + shown + "\"" + after, nowUs);
    };
    switch (scenario.transferFault) {
    case TransferFault::None: break;
    case TransferFault::Error: abortWith("ERROR: " + scenario.faultText + "\r\n"); break;
    case TransferFault::Stop:
        box_.say("STOP", nowUs);
        box_.decide(Outcome::Kind::Stopped, "ended the transfer with \"STOP\"" + after, nowUs);
        break;
    case TransferFault::Question: abortWith("?"); break;
    case TransferFault::F: abortWith("F"); break;
    case TransferFault::U: abortWith("U"); break;
    case TransferFault::Warnings: abortWith(":;:;:;"); break;
    case TransferFault::FlashId: abortWith("Flash's manufacturer and/or device ids dont match!"); break;
    case TransferFault::StopReading:
        box_.stopReading();
        box_.decide(Outcome::Kind::Stalled, "stopped reading" + after, nowUs);
        break;
    case TransferFault::HangUp: box_.hangUpNow("during the transfer" + after, nowUs); break;
    }
}

}  // namespace boxmodel
