// Generated cases for the differential test of the doctor against the real
// browser: policy files, manifests, hosts and environments, each case from a
// seed, so that any one can be made again.
//
// A case is JSON, the form in which a disagreement is saved and replayed:
//   {"seed": N, "summary": "...",
//    "env": {"XDG_CONFIG_HOME": "{home}/xdg", ...},  (absent: unset)
//    "files": [{"at": PATH, "text": "..."}, {"at": PATH, "mode": 420, ...},
//              {"at": PATH, "link": TARGET}, {"at": PATH, "fifo": true},
//              {"at": PATH, "directory": true}]}
// Paths and texts hold placeholders that the test expands: {home}, {bin}
// (the hosts' directory), {real} (a copy of the built host), {policies} and
// {recommended} (the browser's policy directories), {system} (its
// system-wide manifest directory), {user} (its per-user one, as the
// environment moves it), {dotconfig} (~/.config's, wherever the environment
// points), {name} (the host's name), {id} (the test extension's ID), and
// {pad:N} (N letters, for a file too large to keep as it is).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>

namespace tarnwick::testing {

nlohmann::json generateCase(std::uint64_t seed);

}  // namespace tarnwick::testing
