// A panel with no window: keeps every control's text and disabled state,
// answers get-text and the selected port from that state, and records every
// operation with its order and calling thread. Thread-safe.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "job/Panel.h"

namespace qmb::test {

struct PanelOp {
    enum Kind { kSetText, kGetText, kSetDisabled, kInvalidate, kSelectedPort, kErrorBox, kBeep };
    explicit PanelOp(Kind k, int control = 0, std::string t = {}, bool d = false)
        : kind(k), id(control), text(std::move(t)), disabled(d) {}
    Kind kind;
    int id = 0;        // control, where there is one
    std::string text;  // set or fetched text, or the error message
    bool disabled = false;
    std::thread::id thread;
    uint64_t seq = 0;
};

std::string Describe(const PanelOp& op);

class HeadlessPanel : public Panel {
  public:
    HeadlessPanel() { Reset(); }

    // The panel as initialised: "11", COM1, idle buttons, "Ready", "CLOSED".
    void Reset();

    // The operator's side (not recorded).
    void Type(int id, const std::string& text);
    void SelectPort(int index);
    std::string Text(int id) const;
    bool Disabled(int id) const;

    // Answers each error box (the worker waits meanwhile); default: at once.
    void OnErrorBox(std::function<void(const std::string&)> responder);
    // Called after every recorded operation, on the calling thread, with no
    // lock held (so it may click buttons or look at the panel).
    void OnOp(std::function<void(const PanelOp&)> observer);

    std::vector<PanelOp> Ops() const;
    std::vector<std::string> Messages() const;
    int Beeps() const;
    void ClearOps();

    // Buttons enabled with idle captions, "Ready", "CLOSED".
    bool IsIdle() const;
    // Which buttons are disabled, e.g. "Read Write Loop".
    std::string DisabledButtons() const;

    void SetText(int id, const char* text) override;
    size_t GetText(int id, char* buf, size_t maxChars) override;
    void SetDisabled(int id, bool disabled) override;
    void Invalidate(int id) override;
    int SelectedPort() override;
    void ErrorBox(const char* message) override;
    void Beep() override;

  private:
    // Records op; returns the observer to call once the lock is released.
    std::function<void(const PanelOp&)> Record(PanelOp& op);
    void Notify(const std::function<void(const PanelOp&)>& observer, const PanelOp& op);

    mutable std::mutex mutex_;
    std::map<int, std::string> texts_;
    std::map<int, bool> disabled_;
    int selectedPort_ = 0;
    std::vector<PanelOp> ops_;
    std::function<void(const std::string&)> responder_;
    std::function<void(const PanelOp&)> observer_;
};

}  // namespace qmb::test
