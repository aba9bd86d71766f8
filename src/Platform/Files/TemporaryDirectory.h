// The user's temporary directory, where the document store keeps its files.
//
// It is $TMPDIR when that is set and not empty; otherwise a directory of the user's own under
// /tmp ("/tmp/pellix-<uid>"), made with mode 0700 on first use. That directory is used only
// when it is a real directory (not a symbolic link) owned by the user; its mode is brought
// back to 0700 when it has drifted, so that no other user can list, read or replace the
// stored documents.
//
// Callable from any thread; never throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace platform {

class TemporaryDirectory {
public:
    // The directory, without a trailing "/", or nothing when no safe directory can be had.
    static std::optional<std::string> path();

    // The rule behind path(), with its inputs made explicit: the value of $TMPDIR (nothing
    // when unset), the parent of the per-user fallback and the user's id.
    static std::optional<std::string> resolve(const std::optional<std::string>& tmpdirEnv,
                                              const std::string& fallbackParent, uid_t uid);

    // The directory joined with one path component.
    static std::string join(std::string_view directory, std::string_view component);
};

}  // namespace platform
