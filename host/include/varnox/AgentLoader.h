#pragma once
// Loads an agent library and fills its agent table through the library's initAgent.
#include <memory>
#include <string>

#include "varnox/AgentTable.h"

namespace varnox {

class AgentLoader {
 public:
  AgentLoader() = default;
  ~AgentLoader();
  AgentLoader(const AgentLoader&) = delete;
  AgentLoader& operator=(const AgentLoader&) = delete;

  // Opens `path`, finds initAgent and calls it. Returns 0, or a negative error with `error`
  // naming the path and the loader's reason (a missing file or symbol, or initAgent's status).
  // The library stays loaded as long as this object lives, so the table's pointers stay valid.
  int load(const std::string& path, std::string& error);

  bool loaded() const { return handle_ != nullptr; }
  const AgentTable& table() const { return table_; }
  const std::string& path() const { return path_; }

 private:
  struct Closer {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, Closer> handle_;
  AgentTable table_{};
  std::string path_;
};

}  // namespace varnox
