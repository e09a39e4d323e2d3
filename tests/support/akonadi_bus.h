// Akonadi, the KDE desktop's calendar service, with SQLite in a temporary home on a private
// session bus: no desktop, display or wallet dialog needed. Its resources are made by the test
// client (tests/support/akonadi_client.cpp), as a user's set-up makes them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/support/session_bus.h"

namespace ravu::testing {

class AkonadiBus : public SessionBus {
  public:
    /// `preseed` false leaves out the file that keeps Akonadi's first-run defaults away, as on a
    /// user's first login. The desktop's autostart agents (a login's, not a client's) stay off.
    /// `config`: the bus's configuration (see `SessionBus::start`), by default one that can start
    /// only Akonadi and the wallet.
    explicit AkonadiBus(bool preseed = true, const std::string& config = "");
    /// Stops Akonadi first, so that its agents go with it; then the bus and the rest by pid.
    ~AkonadiBus();

    /// Why Akonadi cannot run here (not installed, no module built); empty when it can.
    static std::string missing();

    /// Starts the server through the bus and waits until it runs; false when it did not.
    bool startAkonadi() const;
    /// The test client with these arguments: what it printed, or none after a failure.
    std::optional<std::string> client(const std::vector<std::string>& args) const;

    struct Resource {
        std::string instance;
        std::string collection;  ///< the id of its (first) event collection
    };
    /// A new resource of the agent type with these lines of settings ("Path=..."), synchronised.
    Resource resource(const std::string& type, const std::string& name,
                      const std::string& settings) const;
    /// A CalDAV resource "Radicale" on the server's calendars under `url` (user "user", its
    /// password in the wallet), which syncs every event and refreshes only when asked.
    Resource calDav(const std::string& url) const;
    /// How many resources of the agent type this home has had.
    int made(const std::string& type) const;
    /// "id|name|resource|content types" of each collection.
    std::vector<std::string> collections() const;
};

}  // namespace ravu::testing
