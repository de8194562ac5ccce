#include "station/WebServer.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <map>
#include <set>

#include "platform/Utf8.h"
#include "station/StationConfig.h"
#include "station/Token.h"
#include "store/RecordFormat.h"
#include "station_web.h"

namespace qmb::station {

using nlohmann::json;
using store::FormatUtcMillis;
using store::ParseUtcTime;
using store::StatsToJson;
using store::ToJson;

namespace {
constexpr size_t kMaxPayload = 4096;   // control requests carry no body
constexpr size_t kMaxHeaders = 64;
constexpr size_t kMaxQuery = 2048;
constexpr int64_t kDefaultLimit = 50;
constexpr int64_t kMaxLimit = 10000;
constexpr const char* kFeedPath = "/api/events";

// Never throws: an invalid UTF-8 sequence that got this far becomes U+FFFD.
// The last line of defence: answers are made of checked text to begin with.
std::string Dump(const json& body) {
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(Dump(body) + "\n", "application/json");
}

void Fail(httplib::Response& res, int status, const std::string& reason) {
    Reply(res, status, {{"error", reason}});
}

const char* TypeOf(const std::string& name) {
    const auto ends = [&](const char* ext) {
        const size_t n = std::strlen(ext);
        return name.size() >= n && name.compare(name.size() - n, n, ext) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

// UTF-8 text without control characters, at most max bytes.
bool PrintableText(const std::string& text, size_t max) {
    if (text.size() > max || !IsValidUtf8(text)) return false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// Printable ASCII only: safe to name back in an answer.
bool PlainAscii(const std::string& text, size_t max) {
    if (text.empty() || text.size() > max) return false;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F) return false;
    }
    return true;
}

std::string NamesOf(const std::set<std::string>& names) {
    std::string out;
    for (const auto& n : names)
        out += (out.empty() ? "" : ", ") + n;
    return out;
}

// The query's parameters as a filter. allowed: the names this view takes.
bool ParseFilter(const httplib::Request& req, const std::set<std::string>& allowed,
                 const Station& station, RecordFilter& f, std::string& format, std::string& why) {
    std::set<std::string> seen;
    for (const auto& [key, value] : req.params) {
        if (!allowed.count(key)) {
            // The request's own name is not repeated: the view's names are.
            why = "unknown parameter (this view takes " + NamesOf(allowed) + ")";
            return false;
        }
        if (!seen.insert(key).second) {
            why = "parameter given twice: " + key;
            return false;
        }
        int64_t n = 0;
        if (key == "since" || key == "until") {
            std::chrono::system_clock::time_point t;
            if (!ParseUtcTime(value, t)) {
                why = key + ": a UTC time expected, e.g. 2026-12-09 or 2026-12-09T07:40:00Z";
                return false;
            }
            (key == "since" ? f.since : f.until) = FormatUtcMillis(t);
        } else if (key == "station") {
            if (value.empty() || !PrintableText(value, 64)) {
                why = "station: 1 to 64 printable characters expected";
                return false;
            }
            f.station = value;
        } else if (key == "slot") {
            const int named = station.SlotIndex(value);
            if (named >= 0) {
                f.slot = named;
            } else if (ParseNumber(value, 0, 999, n)) {
                f.slot = static_cast<int>(n);
            } else {
                why = "slot: a slot name of this station or a slot number expected";
                return false;
            }
        } else if (key == "result") {
            if (value != "pass" && value != "fail" && value != "none") {
                why = "result: pass, fail or none expected";
                return false;
            }
            f.result = value;
        } else if (key == "section") {
            if (!ParseNumber(value, 1, 255, n)) {
                why = "section: 1 to 255 expected";
                return false;
            }
            f.section = static_cast<int>(n);
        } else if (key == "dut_id") {
            if (value.empty() || !PrintableText(value, 64)) {
                why = "dut_id: 1 to 64 printable characters expected";
                return false;
            }
            f.dut_id = value;
        } else if (key == "limit") {
            if (!ParseNumber(value, 1, kMaxLimit, n)) {
                why = "limit: 1 to " + std::to_string(kMaxLimit) + " expected";
                return false;
            }
            f.limit = n;
        } else if (key == "format") {
            if (value != "json" && value != "csv") {
                why = "format: json or csv expected";
                return false;
            }
            format = value;
        }
    }
    if (f.since && f.until && !(*f.since < *f.until)) {
        why = "since must come before until";
        return false;
    }
    return true;
}

// A dotted quad of 127.0.0.0/8: four decimal parts of 1 to 3 digits, each
// at most 255, the first exactly "127".
bool IsLoopbackQuad(const std::string& name) {
    if (name.rfind("127.", 0) != 0) return false;
    int parts = 0;
    size_t at = 0;
    while (at <= name.size()) {
        const size_t dot = std::min(name.find('.', at), name.size());
        int64_t v = 0;
        if (dot - at > 3 || !ParseNumber(name.substr(at, dot - at), 0, 255, v)) return false;
        ++parts;
        at = dot + 1;
    }
    return parts == 4;
}

bool IsLocalhost(const std::string& name) {
    static const char kName[] = "localhost";
    if (name.size() != sizeof kName - 1) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != kName[i]) return false;
    }
    return true;
}

std::string BearerOf(const httplib::Request& req) {
    const std::string h = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    return h.rfind(prefix, 0) == 0 ? h.substr(prefix.size()) : "";
}
}  // namespace

bool IsOwnHost(const std::string& host, int port) {
    std::string name = host, portText;
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos) return false;
        name = host.substr(0, close + 1);
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') return false;
            portText = host.substr(close + 2);
        }
        if (name != "[::1]") return false;
    } else {
        const size_t colon = host.find(':');
        if (colon != std::string::npos) {
            name = host.substr(0, colon);
            portText = host.substr(colon + 1);
        }
        if (!IsLocalhost(name) && !IsLoopbackQuad(name)) return false;
    }
    if (name.size() == host.size()) return true;  // no port given
    int64_t p = 0;
    return ParseNumber(portText, 1, 65535, p) && p == port;
}

WebServer::WebServer(Station& station, RecordStore& records, ServerSettings settings)
    : WebServer(station, records, std::move(settings), std::make_unique<httplib::Server>(), 0) {}

WebServer::WebServer(Station& station, RecordStore& records, ServerSettings settings,
                     std::unique_ptr<httplib::Server> server, int port)
    : station_(station), records_(records), settings_(std::move(settings)),
      server_(std::move(server)), port_(port) {
    Routes();
}

WebServer::~WebServer() = default;

bool WebServer::Bind(const std::string& host, int port, std::string& why) {
    if (port == 0) {
        port_ = server_->bind_to_any_port(host);
        if (port_ > 0) return true;
    } else if (server_->bind_to_port(host, port)) {
        port_ = port;
        return true;
    }
    why = "cannot listen on " + host + ":" + std::to_string(port) +
          " (address in use, or not an address of this machine)";
    return false;
}

void WebServer::Run() {
    server_->listen_after_bind();
}

void WebServer::Stop() {
    server_->stop();
}

void WebServer::Routes() {
    httplib::Server& s = *server_;
    const size_t threads = settings_.maxLivePages + 8;
    s.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    s.set_payload_max_length(kMaxPayload);
    s.set_read_timeout(5, 0);
    s.set_write_timeout(5, 0);
    s.set_keep_alive_timeout(2);

    // Auth and size checks come before any route; a request they refuse
    // reaches no handler.
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (req.headers.size() > kMaxHeaders) {
            Fail(res, 431, "too many header fields");
            return httplib::Server::HandlerResponse::Handled;
        }
        const size_t q = req.target.find('?');
        if (q != std::string::npos && req.target.size() - q > kMaxQuery) {
            Fail(res, 414, "query too long");
            return httplib::Server::HandlerResponse::Handled;
        }
        // One Host, naming this machine exactly (a second one could name
        // another site to whatever reads the last).
        if (settings_.loopbackOnly && (req.get_header_value_count("Host") != 1 ||
                                       !IsOwnHost(req.get_header_value("Host"), port_))) {
            Fail(res, 400, "this station answers only to its own address (Host header)");
            return httplib::Server::HandlerResponse::Handled;
        }
        const bool api = req.path.rfind("/api/", 0) == 0;
        const bool control = req.method != "GET" && req.method != "HEAD";
        if (api && (control || settings_.auth)) {
            std::string given = BearerOf(req);
            // EventSource sends no headers: the change feed, and it alone,
            // may carry the token in its URL. It is read-only; every other
            // view and every control action takes the header only, so the
            // token stays out of URLs, logs and history elsewhere.
            if (given.empty() && !control && req.path == kFeedPath && req.has_param("token"))
                given = req.get_param_value("token");
            if (given.empty() || !SameToken(given, settings_.token)) {
                res.set_header("WWW-Authenticate", "Bearer");
                Fail(res, 401, given.empty() ? "this needs the station's token (Authorization: Bearer TOKEN)"
                                             : "wrong token");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Referrer-Policy", "no-referrer");
        if (req.path.rfind("/api/", 0) == 0) {
            res.set_header("Cache-Control", "no-store");
        } else {
            res.set_header("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; "
                           "img-src 'self' data:; connect-src 'self'; base-uri 'none'; "
                           "form-action 'none'; frame-ancestors 'none'");
        }
    });
    // Fixed texts only: this runs outside cpp-httplib's try, so nothing here
    // may depend on what the request holds.
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        if (res.status == 404)
            Fail(res, 404, "no such resource");
        else if (res.status == 413)
            Fail(res, 413, "request body too large");
        else if (res.status == 400)
            Fail(res, 400, "malformed request");
        else
            Fail(res, res.status, "request refused");
    });
    // A fixed text: an exception's message may quote what the request held
    // (and is no business of a client).
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        Fail(res, 500, "internal error");
    });

    // The page.
    for (const auto& file : embedded::kFiles) {
        const std::string name = file.name;
        const std::string body(reinterpret_cast<const char*>(file.bytes), file.size);
        const char* type = TypeOf(name);
        auto serve = [body, type](const httplib::Request&, httplib::Response& res) {
            res.set_content(body, type);
        };
        s.Get("/" + name, serve);
        if (name == "index.html") s.Get("/", serve);
    }

    s.Get("/api/info", [this](const httplib::Request& req, httplib::Response& res) {
        if (!req.params.empty())
            return Fail(res, 400, "this view takes no parameters");
        json info = settings_.info;
        info["line_view"] = settings_.lineView;
        info["record_error"] = station_.SinkError();
        info["pools"] = settings_.pools ? settings_.pools->Json() : json::array();
        Reply(res, 200, info);
    });

    s.Get("/api/slots", [this](const httplib::Request& req, httplib::Response& res) {
        if (!req.params.empty())
            return Fail(res, 400, "this view takes no parameters");
        Reply(res, 200, station_.SlotsJson());
    });

    s.Get("/api/records", [this](const httplib::Request& req, httplib::Response& res) {
        RecordFilter f;
        std::string format = "json", why;
        if (!ParseFilter(req, {"since", "until", "station", "slot", "result", "section", "dut_id",
                               "limit", "format"},
                         station_, f, format, why))
            return Fail(res, 400, why);
        if (!f.limit) f.limit = kDefaultLimit;
        const std::vector<Record> records = records_.List(f);
        if (format == "csv") {
            res.set_header("Content-Disposition", "attachment; filename=\"records.csv\"");
            res.set_content(store::FormatRecordsCsv(records), "text/csv; charset=utf-8");
            return;
        }
        json out = json::array();
        for (const auto& r : records)
            out.push_back(ToJson(r));
        Reply(res, 200, out);
    });

    s.Get("/api/stats", [this](const httplib::Request& req, httplib::Response& res) {
        RecordFilter f;
        std::string format, why;
        if (!ParseFilter(req, {"since", "until", "station", "slot", "result", "section", "dut_id"},
                         station_, f, format, why))
            return Fail(res, 400, why);
        json out = StatsToJson(records_.ComputeStats(f));
        out["set_aside"] = store::SetAsideToJson(records_.SetAsideRecords(5));
        out["since"] = f.since ? json(*f.since) : json(nullptr);
        out["until"] = f.until ? json(*f.until) : json(nullptr);
        Reply(res, 200, out);
    });

    // Every station of the database side by side: their figures of the period.
    s.Get("/api/line", [this](const httplib::Request& req, httplib::Response& res) {
        RecordFilter f;
        std::string format, why;
        if (!ParseFilter(req, {"since", "until", "section"}, station_, f, format, why))
            return Fail(res, 400, why);
        const Stats stats = records_.ComputeStats(f);
        std::map<std::string, store::Counts> byStation;
        for (const auto& sc : stats.slots)
            byStation[sc.station] += sc.counts;
        json stations = json::array();
        for (const auto& [name, c] : byStation) {
            stations.push_back({{"station", name},
                                {"total", c.total},
                                {"passes", c.passes},
                                {"fails", c.fails},
                                // (Yield) so that <windows.h>'s Yield() macro keeps off.
                                {"yield", (c.Yield)()},
                                {"first_pass_yield", c.FirstPassYield()}});
        }
        Reply(res, 200, {{"stations", stations}});
    });

    // The change feed: the slots whenever they change, each new board as it
    // is recorded, a comment every 5 s so that a page gone away is noticed.
    s.Get(kFeedPath, [this](const httplib::Request& req, httplib::Response& res) {
        if (req.params.size() > (req.has_param("token") ? 1u : 0u))
            return Fail(res, 400, "this view takes no parameters but token");
        if (livePages_.fetch_add(1) >= settings_.maxLivePages) {
            --livePages_;
            return Fail(res, 503, "too many live pages open");
        }
        struct Feed {
            bool started = false;
            uint64_t seen = 0, boardSeq = 0;
            std::string pools;  // the levels last sent
        };
        auto feed = std::make_shared<Feed>();
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, feed](size_t, httplib::DataSink& sink) {
                std::vector<Record> boards;
                std::string out;
                uint64_t version;
                if (!feed->started) {
                    // Start from now: older boards come from /api/records.
                    feed->started = true;
                    version = station_.WaitForChange(0, std::chrono::milliseconds(0),
                                                     feed->boardSeq, boards);
                    boards.clear();
                    out = "retry: 1000\n\n";
                } else {
                    version = station_.WaitForChange(feed->seen, std::chrono::seconds(5),
                                                     feed->boardSeq, boards);
                }
                if (station_.ShuttingDown()) {
                    sink.done();
                    return true;
                }
                for (const auto& b : boards)
                    out += "event: board\ndata: " + Dump(ToJson(b)) + "\n\n";
                if (version != feed->seen) {
                    feed->seen = version;
                    out += "event: slots\ndata: " + Dump(station_.SlotsJson()) + "\n\n";
                }
                if (settings_.pools) {
                    // Read at most every few seconds, whatever the pages.
                    const std::string pools = Dump(settings_.pools->Json());
                    if (pools != feed->pools) {
                        feed->pools = pools;
                        out += "event: pools\ndata: " + pools + "\n\n";
                    }
                }
                if (out.empty()) out = ": still here\n\n";
                return sink.write(out.data(), out.size());
            },
            [this](bool) { --livePages_; });
    });

    auto control = [this](const httplib::Request& req, httplib::Response& res,
                          const std::string& name, const std::string& action) {
        if (!req.params.empty()) return Fail(res, 400, "control actions take no parameters");
        if (!req.body.empty()) return Fail(res, 400, "control actions take no body");
        std::string why;
        ActionResult r = ActionResult::kDone;
        if (action == "start")
            r = station_.Start(name, why);
        else if (action == "stop")
            r = station_.Stop(name, why);
        else
            r = station_.Ack(name, why);
        if (r == ActionResult::kUnknownSlot)
            return Fail(res, 404, PlainAscii(name, 32) ? "no such slot: " + name : "no such slot");
        if (r == ActionResult::kConflict) return Fail(res, 409, why);
        // The name matched one of this station's slots.
        Reply(res, 200, {{"ok", true}, {"slot", name}, {"action", action}});
    };
    s.Post(R"(/api/slots/([^/]+)/(start|stop|ack))",
           [control](const httplib::Request& req, httplib::Response& res) {
               control(req, res, req.matches[1].str(), req.matches[2].str());
           });
    s.Post("/api/stop-all", [this](const httplib::Request& req, httplib::Response& res) {
        if (!req.params.empty() || !req.body.empty())
            return Fail(res, 400, "stop-all takes no parameters and no body");
        station_.StopAll();
        Reply(res, 200, {{"ok", true}, {"action", "stop-all"}});
    });
}

}  // namespace qmb::station

namespace qmb::station {

namespace {
// One request's bytes in, the answer's bytes out.
class MemoryStream : public httplib::Stream {
  public:
    explicit MemoryStream(const std::string& in) : in_(in) {}
    bool is_readable() const override { return at_ < in_.size(); }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t size) override {
        const size_t n = std::min(size, in_.size() - at_);
        std::memcpy(ptr, in_.data() + at_, n);
        at_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        out.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 40000;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 8080;
    }
    socket_t socket() const override { return INVALID_SOCKET; }

    std::string out;

  private:
    const std::string& in_;
    size_t at_ = 0;
};
}  // namespace

class InProcessServer::Driven : public httplib::Server {
  public:
    std::string Feed(const std::string& request) {
        MemoryStream stream(request);
        bool closed = false;
        process_request(stream, true, closed, [](httplib::Request&) {});
        return stream.out;
    }
};

InProcessServer::InProcessServer(Station& station, RecordStore& records, ServerSettings settings,
                                 int port) {
    auto driven = std::make_unique<Driven>();
    driven_ = driven.get();
    web_.reset(new WebServer(station, records, std::move(settings), std::move(driven), port));
}

InProcessServer::~InProcessServer() = default;

std::string InProcessServer::Handle(const std::string& request) {
    return driven_->Feed(request);
}

}  // namespace qmb::station
