// What the fuzz targets share: a port that replays the fuzz input as the
// device's bytes in virtual time, and a panel that does nothing.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "job/Panel.h"
#include "link/Port.h"

namespace qmb::fuzz {

// Stops the run with a message when a property does not hold.
#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

class ReplayPort : public Port, public TickCounter {
  public:
    void Load(const uint8_t* data, size_t size) {
        data_ = data;
        size_ = size;
        at_ = 0;
    }
    bool Open(const char*) override { return true; }
    bool ApplyLineSettings(const LineSettings&) override { return true; }
    bool ApplyTimeLimits(const TimeLimits&) override { return true; }
    void Purge() override {}
    // Each read takes up to count of the remaining input bytes.
    size_t Read(uint8_t* buf, size_t count) override {
        size_t n = size_ - at_ < count ? size_ - at_ : count;
        for (size_t i = 0; i < n; ++i)
            buf[i] = data_[at_ + i];
        at_ += n;
        if (n < count) now_ += 400;
        return n;
    }
    bool Write(const uint8_t*, size_t) override { return true; }
    void Close() override {}
    uint32_t Now() override { return now_; }
    // Naps are long here: pauses matter to the link, not to these properties.
    void Sleep(uint32_t ms) override { now_ += ms < 250 ? 250 : ms; }

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t at_ = 0;
    uint32_t now_ = 0;
};

class NullPanel : public Panel {
  public:
    void SetText(int, const char*) override {}
    size_t GetText(int, char* buf, size_t) override {
        buf[0] = '\0';
        return 0;
    }
    void SetDisabled(int, bool) override {}
    void Invalidate(int) override {}
    int SelectedPort() override { return 0; }
    void ErrorBox(const char*) override {}
    void Beep() override {}
};

}  // namespace qmb::fuzz
