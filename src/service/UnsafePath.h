#pragma once

#include <string>

// What a name from the update service is used for.
enum class PathUse {
    RecordName,   // ProdName, Simulator, VEXLFolderValue: a folder name, never empty
    ManifestPath, // Folder, FilePath: below the download folder, the backups and the simulator
};

// Throws std::runtime_error "Unsafe path in update data: " + value when a name from the update
// service could reach outside the folder it is appended to, or name what Windows would not store
// as written: absolute, with a colon (a drive or an alternate data stream), a ".." component,
// a component that is a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any extension and
// in any case), ends in a dot or a space, or holds a control character or one of < > " | ? *.
// A record name must not be empty; a manifest path must not start with the backup folder
// ("Backup"). No component may carry the name of this program's temporary files, and no first
// component may start with "vexl_", as the updater's own files do.
void requireSafePath(const std::string& value, PathUse use);
