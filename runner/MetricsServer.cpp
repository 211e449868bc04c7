#include "MetricsServer.h"

#include <httplib.h>
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace varnox::cli {

MetricsServer::MetricsServer() : server_(std::make_unique<httplib::Server>()) {}

MetricsServer::~MetricsServer() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

bool MetricsServer::start(int port, std::string& error) {
  server_->Get("/metrics", [this](const httplib::Request& request, httplib::Response& response) {
    const bool open =
        request.get_header_value("Accept").find("application/openmetrics-text") != std::string::npos;
    std::lock_guard<std::mutex> lock(mutex_);
    if (open)
      response.set_content(openMetrics_, "application/openmetrics-text; version=1.0.0; charset=utf-8");
    else
      response.set_content(classic_, "text/plain; version=0.0.4; charset=utf-8");
  });
  // Only this host may read the metrics: the address is loopback, never a wildcard.
  const char* host = "127.0.0.1";
  errno = 0;
  if (port == 0) {
    port_ = server_->bind_to_any_port(host);
  } else if (server_->bind_to_port(host, port)) {
    port_ = port;
  } else {
    port_ = -1;
  }
  if (port_ <= 0) {
    error = "cannot listen on " + std::string(host) + ":" + std::to_string(port) +
            (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
    return false;
  }
  // The thread takes no signals: Ctrl-C and SIGTERM must reach the runner's own watcher, which
  // stops the run and prints its summary, not end the process here.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return true;
}

void MetricsServer::publish(std::string openMetrics, std::string classic) {
  std::lock_guard<std::mutex> lock(mutex_);
  openMetrics_ = std::move(openMetrics);
  classic_ = std::move(classic);
}

}  // namespace varnox::cli
