#ifndef NORVAK_IPC_NK_DDP_UNIT_H_
#define NORVAK_IPC_NK_DDP_UNIT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nk_deadline.h"
#include "nk_if_ipc.h"
#include "nk_pdu.h"

namespace norvak {
namespace ipc {

// The typed value stream every protocol speaks. Add... encodes into a buffer
// (big-endian, strings and buffers with a 32-bit length, vectors with a
// 32-bit count); Push sends the buffer in one piece. Get... reads straight
// from the connection. Every connection call gets the time left until the
// unit's deadline.
class NkDdpUnit : public NkPDU {
 public:
  NkDdpUnit();
  ~NkDdpUnit() override;
  NkDdpUnit(const NkDdpUnit&) = delete;
  NkDdpUnit& operator=(const NkDdpUnit&) = delete;

  virtual bool SetConnection(const NkIfIPCPtr& connection);
  virtual NkIfIPCPtr GetConnection() const;
  virtual bool SetDeadline(const base::NkDeadline& deadline);
  virtual bool Clear();
  // Sends the buffer and empties it; on failure the buffer is kept.
  virtual bool Push();
  virtual bool Flush();
  virtual const std::string& GetData() const;

  virtual bool AddBool(bool value);
  virtual bool AddInt32(int32_t value);
  virtual bool AddInt64(int64_t value);
  virtual bool AddString(const std::string& value);
  virtual bool AddBuffer(const void* data, size_t length);
  virtual bool AddVector(const std::vector<std::string>& values);
  virtual bool AddRaw(const std::string& bytes);
  virtual bool AddRaw(const void* data, size_t length);
  // Remote mode: path, size, then (after pushing the buffer) the content.
  // Local mode: path and 0 only, left in the buffer.
  virtual bool AddFile(const std::string& path, bool local);
  // Push, then the region of the file.
  virtual bool SendFile(const std::string& path, uint32_t offset, uint32_t length);
  // The file's content as a string value; pushes the buffer first.
  virtual bool AddStringFromFile(const std::string& path);
  virtual bool AddUnit(const NkDdpUnit& other);
  virtual bool AddHook1() { return true; }
  virtual bool AddHook2() { return true; }

  virtual bool GetBool();
  virtual int32_t GetInt32();
  virtual int64_t GetInt64();
  virtual std::string GetString();
  // `out` holds the elements read so far when an exception leaves.
  virtual void GetVector(std::vector<std::string>& out);
  virtual bool GetBuffer(void* buffer, uint32_t length);
  virtual bool GetBuffer(std::string& buffer);
  virtual bool GetHook() { return true; }

  virtual std::string GetLocalAddressAsString() const;
  virtual std::string GetRemoteAddressAsString() const;

 private:
  // Raises NkParameterError "DdpUnit::<where>" when there is no connection.
  NkIfIPC& Connection(const char* where) const;
  bool ReceiveExactly(void* buffer, size_t length);

  std::string data_;
  NkIfIPCPtr connection_;
  base::NkDeadline deadline_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_DDP_UNIT_H_
