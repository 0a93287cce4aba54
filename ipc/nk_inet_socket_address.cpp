#include "nk_inet_socket_address.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "nk_log.h"

namespace norvak {
namespace ipc {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

const char kInetPrefix[] = "inet:";

tcp::endpoint ToEndpoint(const sockaddr_storage& storage, socklen_t length) {
  tcp::endpoint endpoint;
  if (length <= endpoint.capacity()) {
    memcpy(endpoint.data(), &storage, length);
    endpoint.resize(length);
  }
  return endpoint;
}

}  // namespace

NkInetSocketAddress::NkInetSocketAddress(const std::string& spec) : NkSocketAddress(spec) {
  memset(&storage_, 0, sizeof(storage_));
  sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&storage_);
  in->sin_family = AF_INET;
  length_ = sizeof(sockaddr_in);
}

bool NkInetSocketAddress::Parse() {
  if (spec_.compare(0, 5, kInetPrefix) != 0) {
    base::NkLogDebug("InetSocketAddress::Parse(" + spec_ +
                     ") failed - specifier 'inet:' was not found");
    family_ = kUnparsed;
    return false;
  }
  const std::string::size_type at = spec_.find('@');
  if (at == std::string::npos) {
    base::NkLogError("inet parser (" + spec_ + ") failed - separator '@' was not found");
    family_ = kUnparsed;
    return false;
  }
  const std::string port = spec_.substr(5, at - 5);
  if (!SetPort(port)) {
    base::NkLogError("inet parser (" + spec_ + ") failed - cannot get port from " + port);
    family_ = kUnparsed;
    return false;
  }
  const std::string host = spec_.substr(at + 1);
  if (!SetHost(host, true)) {
    base::NkLogError("inet parser (" + spec_ + ") failed - cannot get host from " + host);
    family_ = kUnparsed;
    return false;
  }
  family_ = kInet;
  UpdateText();
  return true;
}

void NkInetSocketAddress::UpdateText() {
  std::ostringstream out;
  out << kInetPrefix << ToEndpoint(storage_, length_);
  text_ = out.str();
}

bool NkInetSocketAddress::SetPort(const std::string& port) {
  // An empty service would make the resolver fail in a less readable way.
  if (port.empty()) {
    base::NkLogError("can`t resolve port number " + port + ": empty service name");
    return false;
  }
  asio::io_context context;
  tcp::resolver resolver(context);
  boost::system::error_code error;
  const tcp::resolver::results_type results = resolver.resolve(
      std::string(), port, tcp::resolver::passive | tcp::resolver::address_configured, error);
  if (error || results.empty()) {
    // Passive look-ups with "address configured" fail on hosts that only have
    // a loopback interface; the port number does not depend on it.
    error.clear();
    const tcp::resolver::results_type retry =
        resolver.resolve(std::string(), port, tcp::resolver::passive, error);
    if (error || retry.empty()) {
      base::NkLogError("can`t resolve port number " + port + ": " +
                       (error ? error.message() : std::string("no result")));
      return false;
    }
    SetPort(retry.begin()->endpoint().port());
    return true;
  }
  SetPort(results.begin()->endpoint().port());
  return true;
}

void NkInetSocketAddress::SetPort(uint16_t port) {
  if (storage_.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&storage_)->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in*>(&storage_)->sin_port = htons(port);
  }
}

uint16_t NkInetSocketAddress::GetPort() const {
  if (storage_.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
}

bool NkInetSocketAddress::SetHost(const std::string& host, bool resolve) {
  if (std::any_of(host.begin(), host.end(),
                  [](unsigned char c) { return std::isspace(c) != 0; })) {
    throw std::invalid_argument("wrong host name '" + host + "'");
  }
  host_ = host;
  return Resolve(resolve);
}

bool NkInetSocketAddress::Resolve(bool resolve) {
  boost::system::error_code error;
  asio::ip::address address;
  if (resolve) {
    asio::io_context context;
    tcp::resolver resolver(context);
    // No "address configured" flag: it hides 127.0.0.1 on hosts whose only
    // interface is the loopback one.
    const tcp::resolver::results_type results =
        resolver.resolve(host_, "0", tcp::resolver::flags(), error);
    if (!error && results.empty()) error = asio::error::host_not_found;
    if (!error) address = results.begin()->endpoint().address();
  } else {
    address = asio::ip::make_address(host_, error);
  }
  if (error) {
    base::NkLogError("resolve (" + host_ + ") failed: " + error.message());
    return false;
  }
  const uint16_t port = GetPort();
  const tcp::endpoint endpoint(address, port);
  memset(&storage_, 0, sizeof(storage_));
  memcpy(&storage_, endpoint.data(), endpoint.size());
  length_ = static_cast<socklen_t>(endpoint.size());
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    std::ostringstream out;
    out << endpoint;
    base::NkLogDebug("InetSocket::Resolve(" + host_ + ") done to " + out.str());
  }
  return true;
}

bool NkInetSocketAddress::CopyFrom(const NkIpcAddress& other) {
  const NkInetSocketAddress* inet = dynamic_cast<const NkInetSocketAddress*>(&other);
  if (inet == nullptr) return false;
  if (inet == this) return true;
  spec_ = inet->spec_;
  text_ = inet->text_;
  family_ = inet->family_;
  storage_ = inet->storage_;
  length_ = inet->length_;
  host_ = inet->host_;
  return true;
}

bool NkInetSocketAddress::IsEqual(const NkIpcAddress& other) const {
  const NkInetSocketAddress* inet = dynamic_cast<const NkInetSocketAddress*>(&other);
  if (inet == nullptr || family_ != inet->family_) return false;
  return ToEndpoint(storage_, length_) == ToEndpoint(inet->storage_, inet->length_);
}

const sockaddr* NkInetSocketAddress::GetSockAddr() const {
  return reinterpret_cast<const sockaddr*>(&storage_);
}

bool NkInetSocketAddress::SetSockAddr(const sockaddr* addr, socklen_t length) {
  if (addr == nullptr || (addr->sa_family == AF_INET && length < sizeof(sockaddr_in)) ||
      (addr->sa_family == AF_INET6 && length < sizeof(sockaddr_in6)) ||
      (addr->sa_family != AF_INET && addr->sa_family != AF_INET6)) {
    errno = EAFNOSUPPORT;
    return false;
  }
  length = addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  memset(&storage_, 0, sizeof(storage_));
  memcpy(&storage_, addr, length);
  length_ = length;
  family_ = kInet;
  host_ = ToEndpoint(storage_, length_).address().to_string();
  UpdateText();
  return true;
}

NkIpcAddressPtr NkInetSocketAddress::Clone() const {
  auto copy = std::make_shared<NkInetSocketAddress>(spec_);
  copy->CopyFrom(*this);
  return copy;
}

}  // namespace ipc
}  // namespace norvak
