// Inexpressible: what a patch, or a document form of one, cannot say, and where. Produced by the
// diff (a change that no patch makes) and by exact writing (a patch that no document carries
// unchanged). It is not a PatchError: applying never produces it. The binding raises ValueError.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quillfen {

class Inexpressible {
 public:
  // `summary` says what was attempted ("Cannot express the change"), `path` lists the keys from
  // the root to the place, `reason` says why.
  Inexpressible(std::string summary, std::vector<std::string> path, std::string reason)
      : summary_(std::move(summary)), path_(std::move(path)), reason_(std::move(reason)) {}

  const std::vector<std::string>& path() const noexcept { return path_; }
  const std::string& reason() const noexcept { return reason_; }

  // The summary, " at ", the path as a JSON array of its keys (["a","[3]"]; [] for the root), ": "
  // and the reason.
  std::string message() const;

 private:
  std::string summary_;
  std::vector<std::string> path_;
  std::string reason_;
};

}  // namespace quillfen
