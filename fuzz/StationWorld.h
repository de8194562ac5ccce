// A station as the request fuzz target and its regression table see it: two
// slots that are never started (no port is opened), two boards in its
// history, and its real routes behind an in-process server that takes
// whole requests as raw bytes. Header-only: the fuzz target and
// station_test.cpp both build it.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "production/BoardRecord.h"
#include "store/MemoryStore.h"
#include "link/Port.h"
#include "station/Station.h"
#include "station/WebServer.h"

namespace qmb::fuzz {

class StationWorld {
  public:
    static constexpr int kPort = 8080;
    static constexpr const char* kToken =
        "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

    StationWorld() { Build(); }

    // Every state a request could change: the slots (without the running
    // clocks), the records kept, the last store failure.
    std::string Snapshot() {
        nlohmann::json slots = station_->SlotsJson();
        for (auto& s : slots)
            s.erase("elapsed_ms");
        const size_t records = history_->List(station::RecordFilter{}).size();
        return slots.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "|" +
               std::to_string(records) + "|" + station_->SinkError();
    }
    std::string Handle(const std::string& request) { return server_->Handle(request); }
    // A fresh station, as after a restart (after an action that was done).
    void Build() {
        server_.reset();
        station_.reset();
        history_ = std::make_unique<store::MemoryStore>();
        station::StationSettings settings;
        settings.run.station = "st-fuzz";
        settings.run.operator_ = "op";
        settings.section = 11;
        settings.image = {0xC0, 0xC1, 0xC2, 0xC3};
        settings.lockout = 3;
        AddBoard(1, true);
        AddBoard(2, false);
        station_ = std::make_unique<station::Station>(
            settings, std::vector<station::SlotConfig>{{"A", "/nonexistent/a"}, {"B", "/nonexistent/b"}},
            [] { return std::unique_ptr<Port>(new AbsentPort); }, ticks_,
            std::vector<store::RecordStore*>{history_.get()});
        station::ServerSettings server;
        server.token = kToken;
        server.info = {{"station", "st-fuzz"}, {"section", 11}};
        server_ = std::make_unique<station::InProcessServer>(*station_, *history_, server, kPort);
    }

  private:
    void AddBoard(int board, bool pass) {
        production::BoardOutcome b;
        b.port = "/nonexistent/a";
        b.board = board;
        b.section = 11;
        b.pass = pass;
        b.status = "complete";
        b.result = pass ? "pass" : "fail";
        if (!pass) {
            b.failureCode = "verify_mismatch";
            b.failurePhase = "verify";
            b.reason = "verify failed";
        }
        b.startedAt = b.endedAt = std::chrono::system_clock::now();
        b.dutId = "00112233";
        production::RecordContext context;  // what a station's records carry
        context.station = "st-fuzz";
        context.imageSha256 = std::string(64, '0');
        context.imageLength = 8;
        context.toolVersion = "qmb-station test";
        history_->Insert(production::MakeRecord(b, context));
    }

    // A slot that is started finds no device there.
    class AbsentPort : public Port {
      public:
        bool Open(const char*) override { return false; }
        bool ApplyLineSettings(const LineSettings&) override { return false; }
        bool ApplyTimeLimits(const TimeLimits&) override { return false; }
        void Purge() override {}
        size_t Read(uint8_t*, size_t) override { return 0; }
        bool Write(const uint8_t*, size_t) override { return false; }
        void Close() override {}
        OpenFailure LastOpenFailure() const override { return OpenFailure::kAbsent; }
    };

    class Ticks : public TickCounter {
      public:
        uint32_t Now() override { return now_; }
        void Sleep(uint32_t ms) override { now_ += ms; }

      private:
        std::atomic<uint32_t> now_{0};
    };

    Ticks ticks_;
    std::unique_ptr<store::MemoryStore> history_;
    std::unique_ptr<station::Station> station_;
    std::unique_ptr<station::InProcessServer> server_;
};

// The status of a raw answer ("HTTP/1.1 404 Not Found\r\n..."), 0 when there
// is none, -1 when the status line is malformed.
inline int StatusOf(const std::string& answer) {
    if (answer.empty()) return 0;
    if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.size() < 12) return -1;
    int code = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (answer[i] < '0' || answer[i] > '9') return -1;
        code = code * 10 + (answer[i] - '0');
    }
    return code >= 100 && code <= 599 ? code : -1;
}

// The body of a raw answer ("" when it has none).
inline std::string BodyOf(const std::string& answer) {
    const size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? "" : answer.substr(end + 4);
}

}  // namespace qmb::fuzz
