// The station's web page and JSON API, served by the station itself
// (cpp-httplib). Control actions need `Authorization: Bearer TOKEN`; the
// read-only views too when auth is on (the change feed alone, which
// EventSource opens without headers, then takes ?token=; no other route
// reads a token from the URL). Every bad request is answered with 400 and a
// one-line reason and changes nothing.
//
// Nothing a request carries ends the process: answers never echo request
// text (only names this station chose: its parameters, its slots), the
// error and exception handlers write fixed texts, and every JSON answer is
// dumped with invalid UTF-8 replaced, so a dump cannot throw.
#pragma once

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "station/PoolLevels.h"
#include "station/Station.h"

namespace httplib {
class Server;
}

namespace qmb::station {

struct ServerSettings {
    std::string token;
    bool auth = false;
    nlohmann::json info;    // what GET /api/info tells about the station
    // The recipe's serial pools (nullptr: none): in /api/info as "pools",
    // and as the change feed's "pools" event whenever a level changes.
    PoolLevels* pools = nullptr;
    bool lineView = false;  // the database holds other stations (PostgreSQL)
    size_t maxLivePages = 24;
    // Listening on a loopback address only: requests must name this
    // machine in Host, exactly (a page of another site that got its name
    // pointed at 127.0.0.1 cannot read the views). See IsOwnHost.
    bool loopbackOnly = true;
};

// Whether a Host header names this machine when it listens on loopback
// port `port`: a dotted quad of 127.0.0.0/8, `localhost` or `[::1]`, with
// no port or exactly `port`. Names that merely begin like one
// (127.0.0.1.nip.io) are not this machine.
bool IsOwnHost(const std::string& host, int port);

class WebServer {
  public:
    // records: where the API reads records and figures from (the database,
    // or the station's memory); it outlives the server.
    WebServer(Station& station, RecordStore& records, ServerSettings settings);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds the listening socket; port 0 takes a free one. False with the
    // reason when it cannot.
    bool Bind(const std::string& host, int port, std::string& why);
    int Port() const { return port_; }
    // Serves until Stop (blocks).
    void Run();
    void Stop();

  private:
    friend class InProcessServer;
    WebServer(Station& station, RecordStore& records, ServerSettings settings,
              std::unique_ptr<httplib::Server> server, int port);
    void Routes();

    Station& station_;
    RecordStore& records_;
    ServerSettings settings_;
    std::unique_ptr<httplib::Server> server_;
    std::atomic<size_t> livePages_{0};
    int port_ = 0;
};

// The same routes and handlers, without a socket: whole requests as raw
// bytes go through cpp-httplib's own request parsing and routing on the
// calling thread, and the answer comes back as raw bytes. For the tests'
// tables and the fuzz target. `port` counts as the listening port in Host.
// The change feed answers its headers only here (no listening server, no
// stream).
class InProcessServer {
  public:
    InProcessServer(Station& station, RecordStore& records, ServerSettings settings, int port);
    ~InProcessServer();
    // The whole answer ("HTTP/1.1 200 OK\r\n..."), or "" when cpp-httplib
    // closed the connection without one.
    std::string Handle(const std::string& request);

  private:
    class Driven;
    Driven* driven_;  // owned by web_
    std::unique_ptr<WebServer> web_;
};

}  // namespace qmb::station
