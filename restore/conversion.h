// Rebuilding the two block regions from a backup's config entries against
// the games database.
#pragma once

#include "restore/download_body.h"

namespace Vantri {

// Whose fault a failed conversion is decides what the user is told: a bad
// backup (choose another file) or a bad download (try again later).
enum class ConversionOutcome {
    Converted,
    MissingGame,    // an in-use entry names a game id the database lacks: invalid backup
    InvalidKind,    // an in-use entry's kind is above 3: invalid backup
    BrokenDatabase, // the database is too short or points outside itself: failed download
};

// Main thread. Reads g_restoreImage's entries, fills g_primaryRegion and
// g_overflowRegion, and on success writes blockCount. Takes ownership of the
// database (null for none) into g_gamesDatabase, whatever the outcome. Never
// reads outside database->Bytes().
ConversionOutcome ConvertConfigs(DownloadBody* database);

} // namespace Vantri
