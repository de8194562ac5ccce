// The station's web page and JSON API, served by the station itself
// (cpp-httplib). Control actions need `Authorization: Bearer TOKEN`; the
// read-only views too when auth is on (the change feed, which EventSource
// opens without headers, then takes ?token=). Every bad request is answered
// with 400 and a one-line reason and changes nothing.
#pragma once

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "station/Station.h"

namespace httplib {
class Server;
}

namespace qmb::station {

struct ServerSettings {
    std::string token;
    bool auth = false;
    nlohmann::json info;    // what GET /api/info tells about the station
    bool lineView = false;  // the database holds other stations (PostgreSQL)
    size_t maxLivePages = 24;
    // Listening on a loopback address only: requests must name this
    // machine in Host (a page of another site that got its name pointed at
    // 127.0.0.1 cannot read the views).
    bool loopbackOnly = true;
};

class WebServer {
  public:
    // records: where the API reads records and figures from (the database,
    // or the station's memory); it outlives the server.
    WebServer(Station& station, RecordStore& records, ServerSettings settings);
    ~WebServer();

    // Binds the listening socket; port 0 takes a free one. False with the
    // reason when it cannot.
    bool Bind(const std::string& host, int port, std::string& why);
    int Port() const { return port_; }
    // Serves until Stop (blocks).
    void Run();
    void Stop();

  private:
    void Routes();

    Station& station_;
    RecordStore& records_;
    ServerSettings settings_;
    std::unique_ptr<httplib::Server> server_;
    std::atomic<size_t> livePages_{0};
    int port_ = 0;
};

}  // namespace qmb::station
