#include "tests/support/evolution_bus.h"

#include <gtest/gtest.h>

namespace ravu::testing {

namespace fs = std::filesystem;

namespace {

/// The built-in calendars the service would add, switched off so that a test sees only its own.
constexpr const char* builtInOff =
    "[Data Source]\nDisplayName=Off\nEnabled=false\nParent=local-stub\n\n[Calendar]\n"
    "BackendName=local\n";

}  // namespace

std::string EvolutionBus::missing() {
    if (std::string{RAVU_EVOLUTION_MODULE}.empty() || std::string{RAVU_EDS_CLIENT}.empty()) {
        return "this build has no GNOME store (libecal-2.0 was not found)";
    }
    if (!fs::exists("/usr/libexec/evolution-source-registry") || !onPath("dbus-daemon") ||
        !onPath("dbus-send")) {
        return "evolution-data-server and dbus are needed (scripts/setup.sh installs them)";
    }
    return "";
}

std::string EvolutionBus::localSource(const std::string& title, const std::string& color,
                                      bool writable) {
    std::string text = "[Data Source]\nDisplayName=" + title +
                       "\nEnabled=true\nParent=local-stub\n\n[Calendar]\nBackendName=local\n"
                       "Color=" +
                       color + "\n";
    if (!writable) {
        text += "\n[Local Backend]\nCustomFile=file://@HOME@/" + title + ".ics\nWritable=false\n";
    }
    return text;
}

EvolutionBus::EvolutionBus(const std::map<std::string, std::string>& sources,
                           const std::string& config, const std::vector<std::string>& launcher)
    : SessionBus(
          {{"GSETTINGS_BACKEND", "memory"}, {"RAVU_CALENDAR_BACKEND", "evolution-data-server"}}) {
    const fs::path folder = home() / ".config/evolution/sources";
    writeFile(folder / "system-calendar.source", builtInOff);
    writeFile(folder / "birthdays.source", builtInOff);
    constexpr std::string_view ownFile = "CustomFile=file://@HOME@/";
    for (const auto& [uid, text] : sources) {
        writeFile(folder / (uid + ".source"), filled(text, {{"@HOME@", home().string()}}));
        // A read-only calendar's file is read, never made, by the service.
        if (const auto at = text.find(ownFile); at != std::string::npos) {
            const auto name =
                text.substr(at + ownFile.size(), text.find('\n', at) - at - ownFile.size());
            writeFile(home() / name,
                      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
                      "END:VCALENDAR\r\n");
        }
    }
    start(config, launcher);
}

bool EvolutionBus::client(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{RAVU_EDS_CLIENT};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProgramRun run = runTool(argv, environment());
    if (run.status != 0) {
        ADD_FAILURE() << run.err;
    }
    return run.status == 0;
}

}  // namespace ravu::testing
