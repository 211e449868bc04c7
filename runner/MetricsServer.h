#pragma once
// Serves the run's metrics over HTTP on a loopback address: GET /metrics answers with the text
// last published, in OpenMetrics when the scraper's Accept header asks for it, else in the
// classic text format. One thread of its own; stops when destroyed.
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace varnox::cli {

class MetricsServer {
 public:
  MetricsServer();
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens on 127.0.0.1:`port` (0: a free port the system picks). False with `error` when the
  // port cannot be had.
  bool start(int port, std::string& error);
  int port() const { return port_; }
  void publish(std::string openMetrics, std::string classic);

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::string openMetrics_;
  std::string classic_;
};

}  // namespace varnox::cli
