#pragma once

#include "player/PlayRecorder.h"

#include <sqlite3.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class CSqliteStatement;

/// One user's history file: every play the listener heard, with what became
/// of it. An SQLite file (owner only) with one table:
///
///   plays(id, start, artist, title, album, length, plugin, player, outcome, acked)
///
/// start and acked are seconds since 1970 UTC (acked: when the server
/// acknowledged the play, null if unknown), outcome an EPlayOutcome number,
/// texts as the plug-in sent them (UTF-8).
///
/// The program's history writer is the only one that writes; windows and
/// scripts read through connections of their own, which never wait for it.
/// A connection is used by one thread at a time.
class CHistoryStore {
public:
    /// The file cannot be opened, created or used; the text says why.
    class CStoreException : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    struct CPlay {
        std::int64_t id = 0;
        std::time_t start = 0;
        std::string artist;
        std::string title;
        std::string album;
        std::int32_t length = 0;
        std::string plugin;
        /// What the player calls itself, where known.
        std::string player;
        EPlayOutcome outcome = EPlayOutcome::kCounting;
        std::optional<std::time_t> acked;
    };

    /// Which plays: started within [since, until), and whose artist, title
    /// or album holds the search text (ignoring the case of ASCII letters).
    struct CFilter {
        std::optional<std::time_t> since;
        std::optional<std::time_t> until;
        std::string search;
    };

    /// Plays counted per day, week or month, in local time.
    enum class EBucket { kDay, kWeek, kMonth };
    struct CBucketCount {
        int counted = 0; ///< submitted or waiting
        int heard = 0;   ///< all plays the person listened to
    };

    /// Opens the file for writing, creating it (0600) if needed, and brings
    /// its table up to date.
    static std::unique_ptr<CHistoryStore> OpenForWriting(const std::string& path);
    /// Opens an existing file for reading; null when there is none yet.
    static std::unique_ptr<CHistoryStore> OpenForReading(const std::string& path);
    ~CHistoryStore();
    CHistoryStore(const CHistoryStore&) = delete;
    CHistoryStore& operator=(const CHistoryStore&) = delete;

    const std::string& Path() const noexcept { return mPath; }

    // ---- writing (one transaction around a batch) ----
    void Begin();
    void Commit();
    void Rollback() noexcept;
    /// Adds the play; its new id.
    std::int64_t Insert(const CPlay& play);
    /// Sets the outcome of the play with that id if it is still `from`.
    void ChangeOutcome(std::int64_t id, EPlayOutcome from, EPlayOutcome to);
    /// The newest play that started then and waits: to `to`. False when
    /// there is none.
    bool ChangeWaiting(std::time_t start, EPlayOutcome to, std::optional<std::time_t> acked = std::nullopt);
    /// After the program ended without a word: plays still counting stopped
    /// early, unless their start is in the queue (they reached their goal,
    /// the record did not); waiting plays no longer in the queue were
    /// submitted. Without the queue (it cannot be read) waiting plays stay.
    /// The number of plays changed.
    int Reconcile(const std::optional<std::vector<std::time_t>>& queued);
    /// Deletes every play, and the space they took.
    void Clear();

    // ---- reading ----
    std::int64_t Count(const CFilter& filter);
    /// Newest first: limit plays after the first offset.
    std::vector<CPlay> Page(const CFilter& filter, std::int64_t offset, int limit);
    /// Oldest first, every play of the filter.
    void ForEach(const CFilter& filter, const std::function<void(const CPlay&)>& visit);
    /// Counts per bucket, keyed by the bucket's first day as "YYYY-MM-DD"
    /// (local time). The search text is not applied.
    std::map<std::string, CBucketCount> CountsPer(EBucket bucket, const CFilter& filter);
    /// The artists heard most in the filter's period, most first.
    std::vector<std::pair<std::string, int>> TopArtists(const CFilter& filter, int limit);

private:
    CHistoryStore(std::string path, sqlite3* db);
    void Run(const char* sql);
    void Check(int rc, const char* what) const;
    CSqliteStatement& Statement(const char* sql);
    /// The WHERE clause of a filter, with named parameters that BindFilter
    /// binds.
    static std::string Where(const CFilter& filter);
    static void BindFilter(CSqliteStatement& statement, const CFilter& filter);
    static CPlay ReadPlay(const CSqliteStatement& statement);

    const std::string mPath;
    sqlite3* mDb;
    std::map<std::string, std::unique_ptr<CSqliteStatement>> mStatements;
};
