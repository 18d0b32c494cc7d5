#pragma once
// The byte channel the client session talks through, shaped after an
// instrument I/O library: open, close, read and write, a device clear, and
// attributes that a plain socket mostly ignores. Failures throw
// Fernway::CSocketError.

#include <cstddef>
#include <cstdint>
#include <string>

class CChannel {
 public:
  // The most one Read asks for while a response comes in.
  static constexpr int kResponseCapacity = 10240;
  // The longest response taken. A catalogue or a scan list of many entries
  // stays far below it; a peer that never ends its answer fails here instead
  // of filling the memory.
  static constexpr std::size_t kLongestResponse = 4 * 1024 * 1024;

  virtual ~CChannel() = default;

  virtual void Open() = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;
  virtual const char* GetName() const = 0;
  virtual std::string GetAddress() const = 0;
  virtual std::uint32_t GetTimeout() const = 0;
  virtual void SetTimeout(std::uint32_t ms) = 0;
  virtual int Send(const void* bytes, int length) = 0;
  virtual int Write(const void* bytes, int length) { return Send(bytes, length); }
  virtual void Flush() = 0;
  // One receive: what arrived, at most capacity bytes.
  virtual int Read(void* buffer, int capacity) = 0;
  // A device clear ("*CLS") and the input already pending discarded.
  virtual void Clear() = 0;
  virtual void SetAttribute(std::uint32_t id, std::uint32_t value) = 0;
  virtual std::uint32_t GetAttribute(std::uint32_t id) = 0;
  virtual std::string GetResource() const = 0;

  void SendText(const char* text);
  void SendText(const std::string& text);
  // One whole response, whatever pieces it arrives in: a line through its LF,
  // or a definite-length block ("#3128" and 128 bytes, which may hold LF)
  // with the LF behind it. Bytes that arrived after it are kept for the next
  // call. Longer than kLongestResponse: Fernway::CError.
  std::string ReceiveResponse();
  std::string Query(const char* text);
  std::string Query(const std::string& text);

 protected:
  // Forgets what was received but not taken yet (a device clear).
  void DiscardReceived() { received_.clear(); }

 private:
  std::string received_;
};
