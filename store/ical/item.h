// The format layer: one calendar item (a series or single event with its changed occurrences)
// read from iCalendar text or from the components a calendar service hands out, the events and
// occurrences it holds, and the edits a save or a removal makes to it. Stores keep items; only
// this layer knows the format, and no libical type crosses this header but the opaque
// `ComponentRef` (parts.h).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "convert/instant.h"
#include "store/ical/parts.h"
#include "store/policy.h"
#include "store/store.h"

namespace ravu::ical {

struct Model;

/// Where an item lives in its store: what its events report, and how messages name it.
struct Placement {
    std::string identifier;  ///< the item's identifier, reported by every occurrence
    std::string calendarId;
    /// When the store last wrote the item (a file's mtime), if it knows. Peers that rewrite an
    /// item without touching LAST-MODIFIED still make it count as modified.
    std::optional<Instant> storedAt;
    std::string label;  ///< how messages name the item, such as its file's path
};

/// What an item keeps of its text.
enum class Keep {
    /// What queries need. A parsed tree takes ten times the size of its text, and the zones the
    /// zone database knows are not even parsed.
    model,
    /// The whole parsed text as well: for a writer, which edits it and writes it back.
    tree,
};

/// What a save or a removal did to an item.
enum class Outcome {
    unchanged,    ///< nothing to write
    changed,      ///< write `Item::text()` back
    removeWhole,  ///< the item goes as a whole
};
using EditResult = std::variant<Outcome, StoreError>;

/// What steps a series' repetition rules. libical's iterator steps every rule; the common shapes
/// are stepped far faster on plain calendar days, and a differential test holds that path to
/// libical's.
enum class Engine { gregorianWhereTaken, libicalOnly };

/// Whether the text is a calendar of tasks or journals and holds no event. Peers sync those
/// into the same collections; such a file is not an event, and not an unreadable one either.
bool holdsOnlyTasksOrJournals(std::string_view text);

class Item {
  public:
    /// The item in the text; none when it holds no event that can be read. Text that is not
    /// UTF-8 is repaired first.
    static std::optional<Item> parse(std::string text, Placement placement, const TimeZone& user,
                                     Keep keep);
    /// The same for a store that keeps the series and each changed occurrence as items of their
    /// own: `partsStoredAt` says when it last wrote each, by the occurrence it changes as
    /// `ComponentRef::recurrenceId` gives it ("" for the series), in place of
    /// `Placement::storedAt`. An occurrence then counts as modified when its series or its own
    /// override was, and with nothing else of the item.
    static std::optional<Item> parse(std::string text, Placement placement, const TimeZone& user,
                                     Keep keep, std::map<std::string, Instant> partsStoredAt);
    /// The item made of the parts a calendar service hands out (a series or single event and its
    /// changed occurrences, all of one UID); they are copied, not taken. `zoneOf` gives the
    /// calendar's own VTIMEZONE for a TZID the zone database does not know, or a null handle.
    /// None when the parts hold no event that can be read.
    static std::optional<Item> fromComponents(
        const std::vector<ComponentRef>& parts, Placement placement, const TimeZone& user,
        Keep keep, const std::function<ComponentRef(const std::string& tzid)>& zoneOf);
    /// A new item holding the event under `uid`, stamped as made at `now`; an error when the
    /// event cannot be written as it is (see `save`).
    static std::variant<Item, StoreError> create(const Event& event, const std::string& uid,
                                                 Placement placement, const TimeZone& user,
                                                 Instant now);

    Item(Item&&) noexcept;
    Item& operator=(Item&&) noexcept;
    ~Item();

    /// The item as the store reports it whole: the series or single event with its own start and
    /// end, or in an item of changed occurrences only, the first of them.
    const Event& event() const;
    bool repeats() const;

    /// Adds the first `limit` events and occurrences overlapping [start, end) (at most
    /// `maxOccurrences`), in no particular order. False when there may be more than it added.
    bool occurrences(Instant start, Instant end, std::vector<Event>& found,
                     std::size_t limit = maxOccurrences,
                     Engine engine = Engine::gregorianWhereTaken) const;
    /// How many of the series' rules the Gregorian path steps.
    std::size_t gregorianRules() const;
    /// What a reader should be told about the item: parts of it that could not be read.
    const std::vector<std::string>& notes() const;

    /// Writes the `changes` of the item, or of the one occurrence `event` names with
    /// `Span::thisEvent`. Needs `Keep::tree`. An event that cannot be written as it is changes
    /// nothing: a missing start, an end before the start, a date beyond what the format holds, a
    /// URL with control characters, a rule out of range.
    EditResult save(const Event& event, Span span, Changes changes, Instant now);
    /// Removes the item, one occurrence (`Span::thisEvent`), or an occurrence and the rest of
    /// its series. Needs `Keep::tree`.
    EditResult remove(const Event& event, Span span, Instant now);

    /// For a store that keeps items in parts: what to write back after an edit, against the parts
    /// the item was made of (none for a new item). Needs `Keep::tree`.
    PartChanges changedSince(const std::vector<ComponentRef>& before) const;
    /// The tree as iCalendar text: CRLF line ends, lines folded at 75 octets, text escaped.
    std::string text() const;
    /// After the store wrote the edited item: reads the tree again into the item's events, with
    /// the new time of the write, and lets the tree go. False when the result cannot be read.
    bool settle(std::optional<Instant> storedAt);

  private:
    explicit Item(std::unique_ptr<Model> model);
    std::unique_ptr<Model> model_;
};

}  // namespace ravu::ical
