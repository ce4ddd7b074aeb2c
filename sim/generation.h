// What a boot loader generation does after the common menu: its download
// entries and the dialogue that follows a download key. One file per
// generation; makeGeneration picks by the box's version.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace boxmodel {

class Box;

class Generation {
public:
    explicit Generation(Box& box) : box_(box) {}
    virtual ~Generation() = default;
    Generation(const Generation&) = delete;
    Generation& operator=(const Generation&) = delete;

    // Its download lines of the menu, each ending in CR LF.
    virtual std::string menuEntries() const { return {}; }
    // A menu key other than "1", "5", "6" and "8": true when it starts a
    // download (from then on the box hands every byte to receive()).
    virtual bool onMenuKey(char key, std::uint64_t nowUs) {
        (void)key;
        (void)nowUs;
        return false;
    }
    // A byte of the download; garbled when the PC sent it at another speed than
    // the box listens at (it arrives as simline::garble made it).
    virtual void receive(std::uint8_t byte, bool garbled, std::uint64_t nowUs) {
        (void)byte;
        (void)garbled;
        (void)nowUs;
    }
    // Switched on in the loader a download starts (generation 1: the hyper
    // bootloader): true when this generation has one and now runs it.
    virtual bool startInSecondStage(std::uint64_t nowUs) {
        (void)nowUs;
        return false;
    }

protected:
    Box& box_;
};

std::unique_ptr<Generation> makeGeneration(Box& box);

}  // namespace boxmodel
