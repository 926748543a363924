// The libuv side: one loop on a thread of its own, set up by the runner
// before the thread starts; the runner touches nothing of it afterwards but
// uv_async_send. Reads go into one buffer of kReadBytes per connection, as
// the other sides read; the echo writes with uv_try_write and queues a
// write only for what the socket did not take. The hop runs a second loop
// and passes the token with uv_async_send both ways.
#include "peer_common.h"

#ifdef ZEP_HAVE_LIBUV

#include <uv.h>

#include <cstring>
#include <iostream>
#include <thread>

namespace peer {
namespace {

enum class Work { kNone, kEcho, kBytes };

struct Conn {
  uv_tcp_t tcp;
  char buf[kReadBytes];
};

struct Write {
  uv_write_t req;
  std::vector<char> data;
};

// A loop with its stop: the stop handle closes every handle of the loop, so
// uv_run returns on the loop's thread.
struct Loop {
  uv_loop_t loop;
  uv_async_t stop;
  std::thread thread;
  Loop() {
    uv_loop_init(&loop);
    uv_async_init(&loop, &stop, [](uv_async_t* a) {
      uv_walk(
          a->loop,
          [](uv_handle_t* h, void*) {
            if (!uv_is_closing(h)) uv_close(h, nullptr);
          },
          nullptr);
    });
  }
  void Run() {
    thread = std::thread([this] { uv_run(&loop, UV_RUN_DEFAULT); });
  }
  ~Loop() {
    uv_async_send(&stop);
    // Never started: close the handles here.
    if (thread.joinable())
      thread.join();
    else
      uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
  }
};

int Complain(const char* what, int rc) {
  std::cerr << "libuv: " << what << ": " << uv_strerror(rc) << "\n";
  return -1;
}

int PortOf(const uv_handle_t* h) {
  sockaddr_storage a;
  int len = sizeof(a);
  int rc = h->type == UV_TCP ? uv_tcp_getsockname(reinterpret_cast<const uv_tcp_t*>(h),
                                                  reinterpret_cast<sockaddr*>(&a), &len)
                             : uv_udp_getsockname(reinterpret_cast<const uv_udp_t*>(h),
                                                  reinterpret_cast<sockaddr*>(&a), &len);
  if (rc != 0) return Complain("getsockname", rc);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

class UvSide : public PeerSide {
 public:
  ~UvSide() override {
    if (m_pHopB != nullptr) {
      // The token stops at loop A; only then may the async handles close.
      m_bStop.store(true);
      zeptest::WaitFor([&] { return m_bParked.load(); }, 2000);
      m_pHopB.reset();
    }
    m_pLoop.reset();
    for (Conn* c : m_Conns) delete c;
  }

  int StartEcho() override { return Listen(Work::kEcho); }
  int StartStreamSink(std::atomic<uint64_t>* bytes) override {
    m_pBytes = bytes;
    return Listen(Work::kBytes);
  }

  int StartUdpSink(benchutil::Counter* count) override {
    m_pCount = count;
    uv_loop_t* loop = &m_pLoop->loop;
    uv_udp_init(loop, &m_Udp);
    m_Udp.data = this;
    sockaddr_in a = nettest::Loopback(0);
    int rc = uv_udp_bind(&m_Udp, reinterpret_cast<sockaddr*>(&a), 0);
    if (rc != 0) return Complain("udp bind", rc);
    rc = uv_udp_recv_start(
        &m_Udp,
        [](uv_handle_t* h, size_t, uv_buf_t* b) {
          UvSide* self = static_cast<UvSide*>(h->data);
          *b = uv_buf_init(self->m_Datagram, sizeof(self->m_Datagram));
        },
        [](uv_udp_t* u, ssize_t n, const uv_buf_t*, const sockaddr*, unsigned) {
          if (n > 0) static_cast<UvSide*>(u->data)->m_pCount->Add(1);
        });
    if (rc != 0) return Complain("udp recv", rc);
    const int port = PortOf(reinterpret_cast<uv_handle_t*>(&m_Udp));
    m_pLoop->Run();
    return port;
  }

  int StartTimers(int count, int periodMs, TickLog* log) override {
    if (count <= 0 || periodMs <= 0) return -1;
    m_pLog = log;
    m_Timers.resize(static_cast<size_t>(count));  // never resized again: the loop holds them
    for (int i = 0; i < count; ++i) {
      uv_timer_t* t = &m_Timers[static_cast<size_t>(i)];
      uv_timer_init(&m_pLoop->loop, t);
      t->data = this;
      const uint64_t first = static_cast<uint64_t>(periodMs) + static_cast<uint64_t>(periodMs) *
                                                                   static_cast<uint64_t>(i) /
                                                                   static_cast<uint64_t>(count);
      uv_timer_start(
          t,
          [](uv_timer_t* h) {
            UvSide* self = static_cast<UvSide*>(h->data);
            self->m_pLog->Add(static_cast<uint64_t>(h - self->m_Timers.data()), NowNs());
          },
          first, static_cast<uint64_t>(periodMs));
    }
    m_pLoop->Run();
    return 0;
  }

  int StartHop(std::atomic<uint64_t>* trips) override {
    m_pTrips = trips;
    m_pHopB.reset(new Loop);
    uv_async_init(&m_pLoop->loop, &m_PingA, [](uv_async_t* a) {
      UvSide* self = static_cast<UvSide*>(a->data);
      self->m_pTrips->fetch_add(1, std::memory_order_relaxed);
      if (self->m_bStop.load(std::memory_order_relaxed))
        self->m_bParked.store(true);
      else
        uv_async_send(&self->m_PingB);
    });
    uv_async_init(&m_pHopB->loop, &m_PingB,
                  [](uv_async_t* a) { uv_async_send(&static_cast<UvSide*>(a->data)->m_PingA); });
    m_PingA.data = m_PingB.data = this;
    m_pLoop->Run();
    m_pHopB->Run();
    uv_async_send(&m_PingA);
    return 0;
  }

 private:
  int Listen(Work work) {
    m_Work = work;
    uv_loop_t* loop = &m_pLoop->loop;
    uv_tcp_init(loop, &m_Server);
    m_Server.data = this;
    sockaddr_in a = nettest::Loopback(0);
    int rc = uv_tcp_bind(&m_Server, reinterpret_cast<sockaddr*>(&a), 0);
    if (rc == 0) rc = uv_listen(reinterpret_cast<uv_stream_t*>(&m_Server), 64, OnConnection);
    if (rc != 0) return Complain("listen", rc);
    const int port = PortOf(reinterpret_cast<uv_handle_t*>(&m_Server));
    m_pLoop->Run();
    return port;
  }

  static void OnConnection(uv_stream_t* server, int status) {
    if (status != 0) return;
    UvSide* self = static_cast<UvSide*>(server->data);
    Conn* c = new Conn;
    self->m_Conns.push_back(c);  // freed after the loop ended
    uv_tcp_init(server->loop, &c->tcp);
    c->tcp.data = self;
    if (uv_accept(server, reinterpret_cast<uv_stream_t*>(&c->tcp)) != 0) {
      uv_close(reinterpret_cast<uv_handle_t*>(&c->tcp), nullptr);
      return;
    }
    uv_read_start(
        reinterpret_cast<uv_stream_t*>(&c->tcp),
        [](uv_handle_t* h, size_t, uv_buf_t* b) {
          Conn* conn = reinterpret_cast<Conn*>(h);
          *b = uv_buf_init(conn->buf, sizeof(conn->buf));
        },
        OnRead);
  }

  static void OnRead(uv_stream_t* s, ssize_t n, const uv_buf_t* b) {
    if (n < 0) {
      if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(s)))
        uv_close(reinterpret_cast<uv_handle_t*>(s), nullptr);
      return;
    }
    if (n == 0) return;
    UvSide* self = static_cast<UvSide*>(s->data);
    if (self->m_Work == Work::kBytes) {
      self->m_pBytes->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      return;
    }
    uv_buf_t out = uv_buf_init(b->base, static_cast<unsigned>(n));
    int done = uv_try_write(s, &out, 1);
    if (done == n) return;
    if (done < 0) done = 0;
    Write* w = new Write;
    w->data.assign(b->base + done, b->base + n);
    uv_buf_t rest = uv_buf_init(w->data.data(), static_cast<unsigned>(w->data.size()));
    uv_write(&w->req, s, &rest, 1,
             [](uv_write_t* req, int) { delete reinterpret_cast<Write*>(req); });
  }

  // Declared first: destroyed last, after the loop that uses the members.
  std::vector<Conn*> m_Conns;  // the loop's thread adds, the destructor frees
  std::vector<uv_timer_t> m_Timers;
  std::unique_ptr<Loop> m_pLoop{new Loop};
  std::unique_ptr<Loop> m_pHopB;
  Work m_Work = Work::kNone;
  uv_tcp_t m_Server;
  uv_udp_t m_Udp;
  uv_async_t m_PingA, m_PingB;
  char m_Datagram[4096];
  std::atomic<uint64_t>* m_pBytes = nullptr;
  benchutil::Counter* m_pCount = nullptr;
  TickLog* m_pLog = nullptr;
  std::atomic<uint64_t>* m_pTrips = nullptr;
  std::atomic<bool> m_bStop{false};
  std::atomic<bool> m_bParked{false};
};

}  // namespace

std::unique_ptr<PeerSide> MakeUvSide() { return std::unique_ptr<PeerSide>(new UvSide); }

}  // namespace peer

#else  // built without libuv

namespace peer {
std::unique_ptr<PeerSide> MakeUvSide() { return nullptr; }
}  // namespace peer

#endif
