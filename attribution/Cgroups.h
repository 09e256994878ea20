#pragma once

// Applications named by their control groups (cgroup v2): systemd units, desktop applications'
// scopes, and any other group by its own name.

#include "AppUsage.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

// Pure: the application a cgroup path (relative to the cgroup v2 root, "/" separated) stands
// for: a desktop application's id from its scope ("app-flatpak-org.example.App-123.scope",
// "app-gnome-firefox-4567.scope" give "org.example.App" and "firefox"), a system unit's name
// ("system.slice/nginx.service" gives "nginx.service"), or the last component of any other path.
// Empty for groups that name no application: the root, slices, login sessions and the users'
// service managers, whose processes are then named by their user (or, the meter's own user's, by
// their executable). An id's escapes ("\x2d" for a dash) are undone. peKind, when given, says
// whether the name is a desktop application's id or a group's.
std::string AppNameFromCgroupPath(std::string_view strPath, EAppKind* peKind = nullptr);

// The cgroup v2 hierarchy's directories by id: a cgroup's id is its directory's inode number.
// Walks the hierarchy again when asked for an id it does not know; an id a walk did not find is
// not looked for again for 200 ms.
class CCgroupIndex {
public:
    // strRoot: the cgroup v2 mount; empty finds it (/sys/fs/cgroup, or /sys/fs/cgroup/unified on
    // a hybrid host). An index with no hierarchy knows no id.
    explicit CCgroupIndex(std::string strRoot = {});
    // The path of a cgroup below the root ("" for the root itself), or nothing when unknown.
    std::optional<std::string> FindPath(uint64_t nId);
    const std::string& GetRoot() const { return m_strRoot; }

private:
    void Walk();

    std::string m_strRoot;
    std::unordered_map<uint64_t, std::string> m_paths;
    std::optional<std::chrono::steady_clock::time_point> m_tLastWalk;
    static constexpr size_t kMaxMissing = 1024;
    std::unordered_set<uint64_t> m_missing; // ids the last walks did not find
};
