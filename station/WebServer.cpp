#include "station/WebServer.h"

#include <httplib.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>

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

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump() + "\n", "application/json");
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

bool PrintableText(const std::string& text, size_t max) {
    if (text.size() > max) return false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// The query's parameters as a filter. allowed: the names this view takes.
bool ParseFilter(const httplib::Request& req, const std::set<std::string>& allowed,
                 const Station& station, RecordFilter& f, std::string& format, std::string& why) {
    std::set<std::string> seen;
    for (const auto& [key, value] : req.params) {
        if (!allowed.count(key) && key != "token") {
            why = "unknown parameter: " + (PrintableText(key, 40) ? key : std::string("?"));
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

// The host name of a Host header ("127.0.0.1:8080", "[::1]:8080", "localhost").
std::string HostNameOf(const std::string& host) {
    if (!host.empty() && host[0] == '[') return host.substr(0, host.find(']') + 1);
    return host.substr(0, host.find(':'));
}

bool IsLoopbackName(const std::string& name) {
    return name == "localhost" || name == "[::1]" || name.rfind("127.", 0) == 0;
}

std::string BearerOf(const httplib::Request& req) {
    const std::string h = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    return h.rfind(prefix, 0) == 0 ? h.substr(prefix.size()) : "";
}
}  // namespace

WebServer::WebServer(Station& station, BoardSink& records, ServerSettings settings)
    : station_(station), records_(records), settings_(std::move(settings)),
      server_(std::make_unique<httplib::Server>()) {
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
        if (settings_.loopbackOnly && !IsLoopbackName(HostNameOf(req.get_header_value("Host")))) {
            Fail(res, 400, "this station answers only to its own address (Host header)");
            return httplib::Server::HandlerResponse::Handled;
        }
        const bool api = req.path.rfind("/api/", 0) == 0;
        const bool control = req.method != "GET" && req.method != "HEAD";
        if (api && (control || settings_.auth)) {
            std::string given = BearerOf(req);
            // EventSource sends no headers: the change feed may carry the
            // token in its URL. Never a control action.
            if (given.empty() && !control && req.has_param("token"))
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
    s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;
        if (res.status == 404)
            Fail(res, 404, "no such resource: " + req.path);
        else if (res.status == 413)
            Fail(res, 413, "request body too large");
        else if (res.status == 400)
            Fail(res, 400, "malformed request");
        else
            Fail(res, res.status, "request refused");
    });
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string why = "internal error";
        try {
            if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            why = e.what();
        } catch (...) {
        }
        Fail(res, 500, why);
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
        if (req.params.size() > (req.has_param("token") ? 1u : 0u))
            return Fail(res, 400, "this view takes no parameters");
        json info = settings_.info;
        info["line_view"] = settings_.lineView;
        info["record_error"] = station_.SinkError();
        Reply(res, 200, info);
    });

    s.Get("/api/slots", [this](const httplib::Request& req, httplib::Response& res) {
        if (req.params.size() > (req.has_param("token") ? 1u : 0u))
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
        for (const auto& sc : stats.slots) {
            store::Counts& c = byStation[sc.station];
            c.total += sc.counts.total;
            c.passes += sc.counts.passes;
            c.fails += sc.counts.fails;
            c.noVerdict += sc.counts.noVerdict;
            c.units += sc.counts.units;
            c.firstPasses += sc.counts.firstPasses;
        }
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
    s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        if (req.params.size() > (req.has_param("token") ? 1u : 0u))
            return Fail(res, 400, "this view takes no parameters");
        if (livePages_.fetch_add(1) >= settings_.maxLivePages) {
            --livePages_;
            return Fail(res, 503, "too many live pages open");
        }
        struct Feed {
            bool started = false;
            uint64_t seen = 0, boardSeq = 0;
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
                    out += "event: board\ndata: " + ToJson(b).dump() + "\n\n";
                if (version != feed->seen) {
                    feed->seen = version;
                    out += "event: slots\ndata: " + station_.SlotsJson().dump() + "\n\n";
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
            return Fail(res, 404, "no such slot: " + (PrintableText(name, 64) ? name : "?"));
        if (r == ActionResult::kConflict) return Fail(res, 409, why);
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
