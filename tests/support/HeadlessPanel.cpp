#include "HeadlessPanel.h"

#include <cstring>

namespace qmb::test {

namespace {
const char* KindName(PanelOp::Kind kind) {
    switch (kind) {
        case PanelOp::kSetText:
            return "SetText";
        case PanelOp::kGetText:
            return "GetText";
        case PanelOp::kSetDisabled:
            return "SetDisabled";
        case PanelOp::kInvalidate:
            return "Invalidate";
        case PanelOp::kSelectedPort:
            return "SelectedPort";
        case PanelOp::kErrorBox:
            return "ErrorBox";
        case PanelOp::kBeep:
            return "Beep";
    }
    return "?";
}
}  // namespace

std::string Describe(const PanelOp& op) {
    std::string s = KindName(op.kind);
    if (op.id) s += " " + std::to_string(op.id);
    if (op.kind == PanelOp::kSetDisabled) s += op.disabled ? " on" : " off";
    if (!op.text.empty()) s += " \"" + op.text + "\"";
    return s;
}

void HeadlessPanel::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_ = {{IDC_READ, "Read"},     {IDC_WRITE, "Write"},
              {IDC_TAT, kCaptionTat}, {IDC_LOOP, kCaptionLoop},
              {IDC_SECTION, "11"},    {IDC_LENGTH, ""},
              {IDC_HEX, ""},          {IDC_STATUS, kStatusReady},
              {IDC_CLOCK, ""},        {IDC_PORT_STATUS, kPortClosed}};
    disabled_.clear();
    selectedPort_ = 0;
    ops_.clear();
    responder_ = nullptr;
    observer_ = nullptr;
}

void HeadlessPanel::Type(int id, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_[id] = text;
}

void HeadlessPanel::SelectPort(int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    selectedPort_ = index;
}

std::string HeadlessPanel::Text(int id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = texts_.find(id);
    return it == texts_.end() ? std::string() : it->second;
}

bool HeadlessPanel::Disabled(int id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = disabled_.find(id);
    return it != disabled_.end() && it->second;
}

void HeadlessPanel::OnErrorBox(std::function<void(const std::string&)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void HeadlessPanel::OnOp(std::function<void(const PanelOp&)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

std::vector<PanelOp> HeadlessPanel::Ops() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ops_;
}

std::vector<std::string> HeadlessPanel::Messages() const {
    std::vector<std::string> messages;
    for (const auto& op : Ops()) {
        if (op.kind == PanelOp::kErrorBox) messages.push_back(op.text);
    }
    return messages;
}

int HeadlessPanel::Beeps() const {
    int beeps = 0;
    for (const auto& op : Ops())
        beeps += op.kind == PanelOp::kBeep;
    return beeps;
}

void HeadlessPanel::ClearOps() {
    std::lock_guard<std::mutex> lock(mutex_);
    ops_.clear();
}

bool HeadlessPanel::IsIdle() const {
    return DisabledButtons().empty() && Text(IDC_TAT) == kCaptionTat &&
           Text(IDC_LOOP) == kCaptionLoop && Text(IDC_STATUS) == kStatusReady &&
           Text(IDC_PORT_STATUS) == kPortClosed;
}

std::string HeadlessPanel::DisabledButtons() const {
    std::string out;
    const std::pair<int, const char*> buttons[] = {
        {IDC_READ, "Read"}, {IDC_WRITE, "Write"}, {IDC_TAT, "TAT"}, {IDC_LOOP, "Loop"}};
    for (const auto& [id, name] : buttons) {
        if (Disabled(id)) out += out.empty() ? name : std::string(" ") + name;
    }
    return out;
}

std::function<void(const PanelOp&)> HeadlessPanel::Record(PanelOp& op) {
    op.thread = std::this_thread::get_id();
    op.seq = ops_.size();
    ops_.push_back(op);
    return observer_;
}

void HeadlessPanel::Notify(const std::function<void(const PanelOp&)>& observer, const PanelOp& op) {
    if (observer) observer(op);
}

void HeadlessPanel::SetText(int id, const char* text) {
    PanelOp op{PanelOp::kSetText, id, text};
    std::function<void(const PanelOp&)> observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_[id] = text;
        observer = Record(op);
    }
    Notify(observer, op);
}

size_t HeadlessPanel::GetText(int id, char* buf, size_t maxChars) {
    PanelOp op{PanelOp::kGetText, id};
    std::function<void(const PanelOp&)> observer;
    size_t n;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string& text = texts_[id];
        n = std::min(text.size(), maxChars);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
        op.text.assign(buf, n);
        observer = Record(op);
    }
    Notify(observer, op);
    return n;
}

void HeadlessPanel::SetDisabled(int id, bool disabled) {
    PanelOp op{PanelOp::kSetDisabled, id, {}, disabled};
    std::function<void(const PanelOp&)> observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        disabled_[id] = disabled;
        observer = Record(op);
    }
    Notify(observer, op);
}

void HeadlessPanel::Invalidate(int id) {
    PanelOp op{PanelOp::kInvalidate, id};
    std::function<void(const PanelOp&)> observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observer = Record(op);
    }
    Notify(observer, op);
}

int HeadlessPanel::SelectedPort() {
    PanelOp op{PanelOp::kSelectedPort};
    std::function<void(const PanelOp&)> observer;
    int index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        index = selectedPort_;
        observer = Record(op);
    }
    Notify(observer, op);
    return index;
}

void HeadlessPanel::ErrorBox(const char* message) {
    PanelOp op{PanelOp::kErrorBox, 0, message};
    std::function<void(const PanelOp&)> observer;
    std::function<void(const std::string&)> responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observer = Record(op);
        responder = responder_;
    }
    Notify(observer, op);
    if (responder) responder(message);  // the box stays up until it returns
}

void HeadlessPanel::Beep() {
    PanelOp op{PanelOp::kBeep};
    std::function<void(const PanelOp&)> observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observer = Record(op);
    }
    Notify(observer, op);
}

}  // namespace qmb::test
