// The one exception of the record store. what() is one line, fit to show a
// user as it is; kind() tells a server that cannot take a record now (worth
// spooling and trying again) from one that refuses it for good, and both
// from everything else.
#pragma once

#include <stdexcept>
#include <string>

namespace qmb::store {

class StoreError : public std::runtime_error {
  public:
    enum class Kind {
        kInvalid,      // bad input: a URL, a record, a line of an import
        kRefused,      // a database that is not ours, damaged, or of a newer schema
        kUnreachable,  // the server did not answer in time, the connection was lost,
                       // or it refused for now (shutting down, out of resources)
        kRejected,     // the server refused this record for good (a constraint, bad data)
        kFailed,       // anything else the database reported
    };
    StoreError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

}  // namespace qmb::store
