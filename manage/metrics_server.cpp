#include "manage/metrics_server.h"

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "config/conf_reader.h"
#include "frame/log.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct MetricsServer::Impl {
  // First: connections still owned by handlers count down into it while the
  // io_context below destroys them.
  size_t open = 0;
  uint16_t port = 0;
  asio::io_context io;
  tcp::acceptor acceptor{io};
  // After a failed accept (no descriptor left, say): a pause, not a spin.
  asio::steady_timer pause{io};
  std::thread thread;
};

class MetricsServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(MetricsServer& server, size_t& open, tcp::socket socket)
      : server_(server),
        open_(open),
        stream_(std::move(socket)),
        buffer_(server.limits_.headBytes) {}
  ~Connection() { --open_; }

  void readRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.limits_.headBytes));
    parser_->body_limit(0);
    stream_.expires_after(server_.limits_.deadline);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->requestRead(ec); });
  }

 private:
  void requestRead(beast::error_code ec) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      respond(http::status::request_header_fields_too_large, "request head too large\n", false);
      return;
    }
    // A peer that went away or stalled gets nothing; a request that does not
    // parse gets 400.
    if (ec == http::error::end_of_stream ||
        (ec && ec.category() != http::make_error_code(http::error::end_of_stream).category()))
      return;
    if (ec) {
      respond(http::status::bad_request, "bad request\n", false);
      return;
    }
    const http::request<http::empty_body>& request = parser_->get();
    // A peer that asks without end gets its turn, then makes way.
    const bool keepAlive = request.keep_alive() && ++served_ < kRequestsPerConnection;
    if (request.method() != http::verb::get) {
      respond(http::status::method_not_allowed, "only GET\n", keepAlive);
      return;
    }
    beast::string_view target = request.target();
    const size_t query = target.find('?');
    if (query != beast::string_view::npos) target = target.substr(0, query);
    if (target != "/metrics") {
      respond(http::status::not_found, "only /metrics\n", keepAlive);
      return;
    }
    std::shared_ptr<const MetricsSnapshot> snapshot = server_.current();
    if (!snapshot) {
      respond(http::status::service_unavailable, "not ready\n", keepAlive);
      return;
    }
    respond(http::status::ok, snapshot->render(server_.clock_.monoNow()), keepAlive);
  }

  void respond(http::status status, std::string body, bool keepAlive) {
    response_ = {};
    response_.version(11);
    response_.result(status);
    response_.set(http::field::server, "norvak-monitor");
    response_.set(http::field::content_type, status == http::status::ok
                                                 ? "text/plain; version=0.0.4; charset=utf-8"
                                                 : "text/plain; charset=utf-8");
    if (status == http::status::method_not_allowed) response_.set(http::field::allow, "GET");
    response_.keep_alive(keepAlive);
    response_.body() = std::move(body);
    response_.prepare_payload();
    stream_.expires_after(server_.limits_.deadline);
    http::async_write(stream_, response_,
                      [self = shared_from_this(), keepAlive](beast::error_code ec, size_t) {
                        if (ec) return;
                        if (keepAlive)
                          self->readRequest();
                        else
                          self->linger();
                      });
  }

  // What the peer still sends is read and dropped until it closes or the
  // deadline passes: closed with unread data, the socket would be reset and
  // the peer might never see the answer (a 431, say).
  void linger() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(server_.limits_.deadline);
    drain();
  }
  void drain() {
    stream_.async_read_some(asio::buffer(scratch_),
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                              if (!ec) self->drain();
                            });
  }

  static constexpr int kRequestsPerConnection = 100;

  MetricsServer& server_;
  size_t& open_;
  int served_ = 0;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  http::response<http::string_body> response_;
  std::array<char, 4096> scratch_;
};

MetricsServer::MetricsServer(const Clock& clock) : MetricsServer(clock, Limits()) {}

MetricsServer::MetricsServer(const Clock& clock, Limits limits) : clock_(clock), limits_(limits) {}

MetricsServer::~MetricsServer() { stop(); }

void MetricsServer::start(const std::string& address) {
  std::string host;
  unsigned port = 0;
  if (!ConfReader::splitHostPort(address, host, port))
    throw std::runtime_error("\"" + address + "\" is not host:port");
  auto impl = std::make_unique<Impl>();
  boost::system::error_code ec;
  tcp::resolver resolver(impl->io);
  const tcp::resolver::results_type found =
      resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
  if (ec || found.empty())
    throw std::runtime_error("cannot resolve \"" + host + "\": " + ec.message());
  const tcp::endpoint endpoint = found.begin()->endpoint();
  tcp::acceptor& acceptor = impl->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(16, ec);
  if (!ec) impl->port = acceptor.local_endpoint(ec).port();
  if (ec) throw std::runtime_error(ec.message());
  impl_ = std::move(impl);
  accept();
  impl_->thread = std::thread([this] {
    for (;;) {
      try {
        impl_->io.run();
        return;
      } catch (const std::exception& e) {
        logError(std::string("metrics server: ") + e.what());
      }
    }
  });
}

void MetricsServer::accept() {
  impl_->acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      impl_->pause.expires_after(std::chrono::milliseconds(100));
      impl_->pause.async_wait([this](beast::error_code e) {
        if (!e) accept();
      });
      return;
    }
    // Over the limit: closed unanswered, at once, so that a scraper tries
    // again rather than waiting on a stalled peer's slot.
    if (impl_->open < limits_.connections) {
      ++impl_->open;
      std::make_shared<Connection>(*this, impl_->open, std::move(socket))->readRequest();
    }
    accept();
  });
}

void MetricsServer::stop() {
  if (!impl_) return;
  impl_->io.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_.reset();
}

uint16_t MetricsServer::port() const { return impl_ ? impl_->port : 0; }

void MetricsServer::publish(std::shared_ptr<const MetricsSnapshot> snapshot) {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  // The old one is released by the caller's copy, outside the lock.
  snapshot_.swap(snapshot);
}

std::shared_ptr<const MetricsSnapshot> MetricsServer::current() const {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  return snapshot_;
}
