// The one walk over a tree that others may change while it runs. Every entry is reached
// relative to its folder's open descriptor and examined once (statx, no link followed, nothing
// automounted); a folder is entered only when the descriptor opened on it is the folder that
// was examined, and the way back up through ".." is checked the same way. Nothing on another
// device or mount than the boundary's is entered or handed to onFile. One descriptor is held
// at a time besides the caller's, so trees deeper than PATH_MAX are reached. A folder is
// listed whole before its entries are visited, in the order the directory yields them; a
// folder is left (post-order) once all of them were.
#pragma once

#include <string>

#include "fs/file_identity.h"

namespace quillon {

// Splits `path` into its folder ("." for a bare name, "/" at the root) and its last component.
void splitPath(const std::string &path, std::string &folder, std::string &name);

class SafeWalk {
 public:
    // An entry met: the open folder that holds it, its name there, its path for messages, what
    // it was examined as, and its depth (0: the entry the walk started at).
    struct Entry {
        int dirfd;
        const char *name;
        const std::string &path;
        const FileIdentity &id;
        int depth;
    };
    // What went wrong with an entry, errno telling why: it could not be examined (one that is
    // gone since its folder was listed is skipped silently), it lies on another file system, it
    // could not be opened as examined (ESTALE: swapped), its folder could not be listed to its
    // end, or the way back up is not the folder the walk came down from (the walk stops).
    enum class Trouble { examine, otherFileSystem, open, list, climb };

    virtual ~SafeWalk() = default;

    // Walks `name` of the open folder `dirfd`, examined by the caller as `item` and shown as
    // `path`, staying on the file system of `boundary`. `dirfd` stays the caller's and unmoved.
    // False when anything failed (a callback said so, or trouble was met).
    bool walk(int dirfd, const std::string &name, const std::string &path, const FileIdentity &item,
              const FileIdentity &boundary);

 protected:
    // A non-folder on the boundary's file system. False: it failed, and so does its folder.
    virtual bool onFile(const Entry &entry) = 0;
    // A folder about to be opened. False: it is not entered, and its folder fails.
    virtual bool onEnterDir(const Entry &) { return true; }
    // A folder whose entries were all visited, `entry.dirfd` its parent again; `failed` when
    // something in it failed. False: it failed, and so does its parent.
    virtual bool onLeaveDir(const Entry &entry, bool failed) = 0;
    virtual void onTrouble(Trouble trouble, const Entry &entry) = 0;
};

}  // namespace quillon
