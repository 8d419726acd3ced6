// Every text the workflows show, exactly as the user sees it.
// Texts with conversions are formats for FormatText: %hs takes a narrow
// version text, %d a count or a device index.
#pragma once

namespace Vantri {

// Shared by every workflow that looks for an adapter.
inline constexpr char16_t kNoAdapterCaption[] = u"Unable to find Vantri4";
inline constexpr char16_t kNoAdapterText[] =
    u"Failure connecting to Vantri4.\n\nPlease be sure your Vantri4 is connected to your PC without any devices "
    u"attached to it and it is displaying a solid blue light.";

// Firmware update and factory reset.
inline constexpr char16_t kFactoryResetCaption[] = u"Factory Reset";
inline constexpr char16_t kFactoryResetQuestionOne[] =
    u"WARNING! Factory Reset will erase all your Configs and Global Settings and install firmware version "
    u"[%hs].\n\nWhen complete, you must re-pair your Vantri4 to all your Vantri4 Manager devices.\n\nAre you sure?";
inline constexpr char16_t kFactoryResetQuestionMany[] =
    u"WARNING! Factory Reset will erase all your Configs and Global Settings and install firmware version "
    u"[%hs].\n\nAre you sure?\n\n(%d Vantri4s will be updated.)";

inline constexpr char16_t kFlashFailedCaption[] = u"Unable to flash Vantri4";
inline constexpr char16_t kReadInfoFailedText[] =
    u"There was an error reading your Vantri4. Please reconnect your Vantri4 and try again.";

inline constexpr char16_t kFirmwareUpdateCaption[] = u"Firmware Update";
inline constexpr char16_t kTooOldText[] =
    u"Your Vantri4 has a firmware version [%hs] that can't be upgraded to [%hs].\n\nPlease re-run this tool and "
    u"select 'Factory Reset'.";
inline constexpr char16_t kUpgradeQuestion[] =
    u"Your Vantri4 will be upgraded from firmware version\n[%hs] to [%hs].\n\nReady?";
inline constexpr char16_t kUpToDateText[] = u"Your Vantri4's firmware [%hs] is already up-to-date.";

inline constexpr char16_t kFlashingStatus[] = u"Flashing ...";

inline constexpr char16_t kFlashCompleteCaption[] = u"Flash Complete";
inline constexpr char16_t kFlashDoneOne[] =
    u"Your Vantri4 was updated successfully!\n\nIt is now safe to remove it from your PC.";
inline constexpr char16_t kFlashDoneMany[] =
    u"%d Vantri4s updated successfully!\n\nIt is now safe to remove them from your PC.";

inline constexpr char16_t kFlashFailedOne[] =
    u"There was an error flashing your Vantri4. You will need to rerun Vantri4Flash and select 'Factory Reset'.";
inline constexpr char16_t kFlashFailedMany[] =
    u"There was an error flashing Vantri4 (at location %d). You will need to rerun Vantri4Flash and select "
    u"'Factory Reset'.";

// Config backup. Two captions differ only by a blank: "backup" when the
// device information cannot be read, "back up" when the config area cannot.
inline constexpr char16_t kBackupReadInfoFailedCaption[] = u"Unable to backup Vantri4";
inline constexpr char16_t kBackupCaption[] = u"Vantri4 Backup";
inline constexpr char16_t kBackupOutdatedText[] =
    u"Your Vantri4 can't be backed up since it has a config format that is out-of-date.\n\nYour firmware will need "
    u"to be updated by selecting 'Factory Reset'.";
inline constexpr char16_t kSaveBackupTitle[] = u"Save Vantri4 Backup As ...";
inline constexpr char16_t kDefaultBackupFileName[] = u"Vantri4Backup.vtcb";
inline constexpr char16_t kBackingUpStatus[] = u"Backing up ...";

inline constexpr char16_t kBackupFailedCaption[] = u"Backup Failed";
inline constexpr char16_t kBackupAccessText[] = u"Unable to access specified file location for backup.";
inline constexpr char16_t kBackupWriteText[] = u"Unable to write backup to specified file location.";

inline constexpr char16_t kBackupCompleteCaption[] = u"Backup Complete";
inline constexpr char16_t kBackupDoneText[] =
    u"Your Vantri4 was successfully backed up!\n\nIt is now safe to remove it from your PC.";

inline constexpr char16_t kBackupReadFailedCaption[] = u"Unable to back up Vantri4";
inline constexpr char16_t kBackupReadFailedText[] =
    u"There was an error backing up your Vantri4.\n\nPlease check the connection to your Vantri4 and try again.";

// Config restore. The two texts that name the maker's web domain take it as
// their one %s argument.
inline constexpr char16_t kRestoreCaption[] = u"Vantri4 Restore";
inline constexpr char16_t kRestoreFailedCaption[] = u"Unable to restore Vantri4";
inline constexpr char16_t kRestoreFileCaption[] = u"Restore Failed";
inline constexpr char16_t kRestoreCompleteCaption[] = u"Restore Complete";

inline constexpr char16_t kRestoreOutOfDateText[] =
    u"Your Vantri4 can't be restored since it has firmware that is out-of-date.";
inline constexpr char16_t kRestoreQuestion[] =
    u"WARNING! Restoring will erase any existing configs on your Vantri4.\n\nContinue?";
inline constexpr char16_t kRestoreDialogTitle[] = u"Choose Vantri4 Backup File to Restore";
inline constexpr char16_t kRestoreAccessText[] = u"Unable to access specified file location for restore.";
inline constexpr char16_t kRestoreReadText[] = u"Unable to read backup at specified file location.";

inline constexpr char16_t kDownloadingStatus[] = u"Downloading games database from %s ...";
inline constexpr char16_t kRestoringStatus[] = u"Restoring ...";

inline constexpr char16_t kDownloadFailedText[] =
    u"There was an error downloading required files from %s which is preventing restore from completing.";
inline constexpr char16_t kInvalidBackupText[] =
    u"Invalid config values were found in the backup.\n\nThe backup file looks invalid/corrupt.";
inline constexpr char16_t kRestoreDoneText[] =
    u"Your Vantri4 was successfully restored!\n\nOn next startup, your Vantri4 will take extra time to finalize "
    u"restored configs.\n\nIt is now safe to remove it from your PC.";
inline constexpr char16_t kRestoreFailedText[] =
    u"There was an error restoring your Vantri4.\n\nPlease check the connection to your Vantri4 and try again.";

// What the system shows for the program while it holds off sleep, and while
// it refuses the end of the session.
inline constexpr char16_t kStayAwakeReason[] = u"Vantri4 Flash is reading or writing your Vantri4.";
inline constexpr char16_t kSessionEndReason[] = u"Writing to your Vantri4. Turning off now could leave it unusable.";

} // namespace Vantri
