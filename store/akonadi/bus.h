// The session bus asked about Akonadi with the bus library itself, under a time limit: Qt's own
// connection waits 25 seconds on a bus that accepts and never answers, and any call to Akonadi's
// control service starts it.
#pragma once

#include <chrono>
#include <string>

namespace ravu::akonadi {

enum class Presence {
    running,      ///< the server is on the bus
    activatable,  ///< the bus would start it
    absent,       ///< the bus answers, and knows no Akonadi
    silent,       ///< no bus, or none that answers in time
};

/// Where Akonadi stands, asked without starting anything.
Presence presence(std::chrono::milliseconds limit);

/// Asks the bus to start Akonadi's control service, which starts the server: by the bus's
/// activation, so that the server never holds this run's standard output open. True when the
/// bus took the request.
bool activate(std::chrono::milliseconds limit, std::string& why);

}  // namespace ravu::akonadi
