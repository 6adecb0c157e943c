// Fiber-based kernel execution (see emu/kernel_exec.h).
//
// A worker host thread owns a pool of carriers: fixed-size stacks with a Boost.Context
// context. A carrier runs one CUDA thread after another; it stays with a thread only while that
// thread is suspended in a barrier or a warp rendezvous, so a block without synchronisation
// runs all its threads on a single carrier. The scheduler (the worker's own stack) resumes ready
// threads, starts unstarted ones, and diagnoses a deadlock when neither exists.

// Boost first: its configuration spells attributes with names that device_emu.h turns into
// macros (__noinline__).
#include "emu/kernel_exec.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/context/detail/fcontext.hpp>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define ZK_EMU_ASAN 1
#endif

namespace zk_emu {
namespace {

namespace fctx = boost::context::detail;
using detail::BarrierKind;
using detail::WarpOp;

constexpr uint32_t kLanes = 32;
constexpr uint32_t kMaxBlockThreads = 1024;
constexpr uint32_t kMaxWarps = kMaxBlockThreads / kLanes;
constexpr size_t kMaxDynamicShared = 48 * 1024;
constexpr int kSharedPoison = 0xCD;
// What a lane reads from a source lane outside the rendezvous: the hardware leaves it undefined.
constexpr uint64_t kUndefinedLaneValue = 0xCDCDCDCDCDCDCDCDull;
#ifdef ZK_EMU_ASAN
constexpr size_t kStackBytes = 1024 * 1024;  // instrumented frames are several times larger
#else
constexpr size_t kStackBytes = 256 * 1024;  // only the touched pages are committed
#endif

// ---------------------------------------------------------------------------------------------
// Reports.

std::mutex g_report_mutex;
int g_report_count = 0;
std::string g_last_report;

void record_report(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_report_mutex);
  ++g_report_count;
  g_last_report = text;
  std::fprintf(stderr, "%s\n", text.c_str());
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char buffer[512];
  const int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return std::string(buffer, std::min<size_t>(n < 0 ? 0 : n, sizeof buffer - 1));
}

// "{0-15,17}"
std::string lanes_text(uint32_t mask) {
  std::string s = "{";
  for (uint32_t lane = 0; lane < kLanes;) {
    if (((mask >> lane) & 1u) == 0) {
      ++lane;
      continue;
    }
    uint32_t end = lane;
    while (end + 1 < kLanes && ((mask >> (end + 1)) & 1u) != 0) ++end;
    if (s.size() > 1) s += ",";
    s += end == lane ? format("%u", lane) : format("%u-%u", lane, end);
    lane = end + 1;
  }
  return s + "}";
}

const char* op_name(WarpOp op) {
  switch (op) {
    case WarpOp::kShflIdx:
      return "__shfl_sync";
    case WarpOp::kShflUp:
      return "__shfl_up_sync";
    case WarpOp::kShflDown:
      return "__shfl_down_sync";
    case WarpOp::kShflXor:
      return "__shfl_xor_sync";
    case WarpOp::kSyncWarp:
      return "__syncwarp";
    case WarpOp::kBallot:
      return "__ballot_sync";
    case WarpOp::kAny:
      return "__any_sync";
    case WarpOp::kAll:
      return "__all_sync";
    case WarpOp::kMatchAny:
      return "__match_any_sync";
    case WarpOp::kMatchAll:
      return "__match_all_sync";
    case WarpOp::kReduceAdd:
      return "__reduce_add_sync";
    case WarpOp::kReduceMinSigned:
    case WarpOp::kReduceMinUnsigned:
      return "__reduce_min_sync";
    case WarpOp::kReduceMaxSigned:
    case WarpOp::kReduceMaxUnsigned:
      return "__reduce_max_sync";
    case WarpOp::kReduceAnd:
      return "__reduce_and_sync";
    case WarpOp::kReduceOr:
      return "__reduce_or_sync";
    case WarpOp::kReduceXor:
      return "__reduce_xor_sync";
  }
  return "warp operation";
}

bool is_shuffle(WarpOp op) {
  return op == WarpOp::kShflIdx || op == WarpOp::kShflUp || op == WarpOp::kShflDown ||
         op == WarpOp::kShflXor;
}

// ---------------------------------------------------------------------------------------------
// State of a launch, a block, a thread.

struct Launch {
  const char* name = "";
  dim3 grid, block;
  size_t dynamic_bytes = 0;
  const std::function<void()>* body = nullptr;
  uint32_t block_threads = 0;
  uint64_t total_blocks = 0;
  std::atomic<uint64_t> next_block{0};
  std::atomic<bool> stop{false};
  std::mutex exception_mutex;
  std::exception_ptr exception;
};

struct Worker;

struct Carrier {
  Worker* worker = nullptr;
  void* mapping = nullptr;
  size_t mapping_bytes = 0;
  char* stack_lo = nullptr;
  fctx::fcontext_t context = nullptr;
  uint32_t first_thread = 0;
  bool busy = false;
  void* asan_fake_stack = nullptr;
};

enum class State : uint8_t { kRunning, kAtBarrier, kInWarpOp, kExited };

struct ThreadCtx : detail::ThreadCoords {
  Carrier* carrier = nullptr;
  uint32_t linear = 0;
  State state = State::kRunning;
  // The pending warp operation's operands and result.
  WarpOp op = WarpOp::kSyncWarp;
  int width = 32;
  uint32_t mask = 0;
  uint64_t value = 0;
  int64_t operand = 0;
  uint64_t result = 0;
};

// Lanes waiting in one warp rendezvous.
struct Group {
  uint32_t mask;
  uint32_t arrived;
  WarpOp op;
};

struct Warp {
  uint32_t existing;
  uint32_t exited;
  uint32_t group_count;
  std::array<Group, kLanes> groups;
};

struct Barrier {
  uint32_t arrived = 0;
  const char* file = "";
  int line = 0;
  BarrierKind kind = BarrierKind::kPlain;
  uint32_t count = 0;
  int result = 0;
  std::vector<ThreadCtx*> waiters;
};

// FIFO of ready threads; a thread is queued at most once, so capacity kMaxBlockThreads suffices.
class ReadyQueue {
 public:
  bool empty() const { return head_ == tail_; }
  void clear() { head_ = tail_ = 0; }
  void push(ThreadCtx* t) { slots_[tail_++ % kMaxBlockThreads] = t; }
  ThreadCtx* pop() { return slots_[head_++ % kMaxBlockThreads]; }

 private:
  std::array<ThreadCtx*, kMaxBlockThreads> slots_{};
  uint32_t head_ = 0, tail_ = 0;
};

struct BlockRun {
  Launch* launch = nullptr;
  detail::BlockCoords coords{};
  uint32_t threads = 0;
  uint32_t warps = 0;
  uint32_t next_unstarted = 0;
  uint32_t exited = 0;
  std::vector<ThreadCtx> thread = std::vector<ThreadCtx>(kMaxBlockThreads);
  std::array<Warp, kMaxWarps> warp{};
  Barrier barrier;
  ReadyQueue ready;
};

void carrier_main(fctx::transfer_t from);

struct Worker {
  fctx::fcontext_t scheduler = nullptr;
  const void* scheduler_stack_bottom = nullptr;
  size_t scheduler_stack_size = 0;
  void* scheduler_fake_stack = nullptr;
  std::vector<std::unique_ptr<Carrier>> carriers;
  std::vector<Carrier*> idle;
  BlockRun block;
  void* shared = nullptr;
  size_t shared_bytes = 0;

  Worker() { block.barrier.waiters.reserve(kMaxBlockThreads); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker() {
    for (auto& c : carriers) munmap(c->mapping, c->mapping_bytes);
    if (shared != nullptr) ::operator delete (shared, std::align_val_t{16});
  }

  Carrier* acquire() {
    Carrier* c;
    if (!idle.empty()) {
      c = idle.back();
      idle.pop_back();
    } else {
      c = create();
    }
    c->busy = true;
    return c;
  }

  // Gives a carrier abandoned mid-thread a fresh context on its stack.
  void reset(Carrier* c) {
#ifdef ZK_EMU_ASAN
    __asan_unpoison_memory_region(c->stack_lo, kStackBytes);
#endif
    c->context = fctx::make_fcontext(c->stack_lo + kStackBytes, kStackBytes, &carrier_main);
    c->asan_fake_stack = nullptr;
    c->busy = false;
    idle.push_back(c);
  }

  void ensure_shared(size_t bytes) {
    if (shared != nullptr && shared_bytes == bytes) return;
    if (shared != nullptr) ::operator delete (shared, std::align_val_t{16});
    // Exactly the launch's size, so that AddressSanitizer sees overruns.
    shared = ::operator new (bytes, std::align_val_t{16});
    shared_bytes = bytes;
  }

 private:
  Carrier* create() {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto c = std::make_unique<Carrier>();
    c->mapping_bytes = kStackBytes + page;
    c->mapping = mmap(nullptr, c->mapping_bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (c->mapping == MAP_FAILED) throw std::bad_alloc();
    // Guard page below the stack: an overflow faults instead of corrupting a neighbour.
    mprotect(c->mapping, page, PROT_NONE);
    c->worker = this;
    c->stack_lo = static_cast<char*>(c->mapping) + page;
    c->context = fctx::make_fcontext(c->stack_lo + kStackBytes, kStackBytes, &carrier_main);
    carriers.push_back(std::move(c));
    return carriers.back().get();
  }
};

Worker& this_worker() {
  thread_local std::unique_ptr<Worker> worker = std::make_unique<Worker>();
  return *worker;
}

// ---------------------------------------------------------------------------------------------
// Context switches. Carriers only ever switch to and from their worker's scheduler.

void resume([[maybe_unused]] Worker& w, Carrier* c) {
#ifdef ZK_EMU_ASAN
  __sanitizer_start_switch_fiber(&w.scheduler_fake_stack, c->stack_lo, kStackBytes);
#endif
  const fctx::transfer_t back = fctx::jump_fcontext(c->context, c);
#ifdef ZK_EMU_ASAN
  __sanitizer_finish_switch_fiber(w.scheduler_fake_stack, nullptr, nullptr);
#endif
  c->context = back.fctx;
}

// dying: this stack frame is abandoned and never resumed.
void to_scheduler(Carrier* c, bool dying) {
  Worker* w = c->worker;
#ifdef ZK_EMU_ASAN
  __sanitizer_start_switch_fiber(dying ? nullptr : &c->asan_fake_stack, w->scheduler_stack_bottom,
                                 w->scheduler_stack_size);
#else
  static_cast<void>(dying);
#endif
  const fctx::transfer_t from = fctx::jump_fcontext(w->scheduler, nullptr);
#ifdef ZK_EMU_ASAN
  __sanitizer_finish_switch_fiber(c->asan_fake_stack, &w->scheduler_stack_bottom,
                                  &w->scheduler_stack_size);
#endif
  w->scheduler = from.fctx;
}

ThreadCtx& current_thread(const char* what) {
  if (detail::tls_thread == nullptr) {
    std::fprintf(stderr, "zk_emu: %s called outside a kernel\n", what);
    std::abort();
  }
  return *static_cast<ThreadCtx*>(detail::tls_thread);
}

void suspend(ThreadCtx& t) {
  detail::tls_thread = nullptr;
  to_scheduler(t.carrier, false);
  detail::tls_thread = &t;
}

// ---------------------------------------------------------------------------------------------
// Misuse.

std::string thread_text(const BlockRun& b, uint32_t linear) {
  const uint3 d = b.coords.block_dim;
  return format("thread (%u,%u,%u)", linear % d.x, (linear / d.x) % d.y, linear / (d.x * d.y));
}

std::string lane_text(const BlockRun& b, uint32_t linear) {
  return format("lane %u of warp %u (%s)", linear % kLanes, linear / kLanes,
                thread_text(b, linear).c_str());
}

// Stops the launch; only its first misuse is reported.
void report_misuse(BlockRun& b, const std::string& what) {
  Launch& launch = *b.launch;
  if (launch.stop.exchange(true)) return;
  const uint3 i = b.coords.block_idx;
  record_report(
      format("zk_emu: misuse in kernel '%s', block (%u,%u,%u): ", launch.name, i.x, i.y, i.z) +
      what);
}

// Leaves the failing thread's stack for good; the scheduler drops the whole block.
[[noreturn]] void abandon(ThreadCtx& t) {
  detail::tls_thread = nullptr;
  to_scheduler(t.carrier, true);
  __builtin_unreachable();
}

void report_deadlock(BlockRun& b) {
  std::string what = "deadlock, no thread can continue:";
  const Barrier& br = b.barrier;
  if (br.arrived != 0) {
    what += format(" %u thread(s) wait at __syncthreads at %s:%d (first: %s);", br.arrived, br.file,
                   br.line, thread_text(b, br.waiters.front()->linear).c_str());
  }
  for (uint32_t w = 0; w < b.warps; ++w) {
    const Warp& wp = b.warp[w];
    for (uint32_t g = 0; g < wp.group_count; ++g) {
      const Group& grp = wp.groups[g];
      what += format(" warp %u lanes %s wait in %s with mask 0x%08x for lanes %s;", w,
                     lanes_text(grp.arrived).c_str(), op_name(grp.op), grp.mask,
                     lanes_text(grp.mask & ~grp.arrived).c_str());
    }
  }
  what.pop_back();
  report_misuse(b, what);
}

// ---------------------------------------------------------------------------------------------
// Barrier and warp rendezvous.

void release_barrier(BlockRun& b) {
  Barrier& br = b.barrier;
  switch (br.kind) {
    case BarrierKind::kPlain:
    case BarrierKind::kCount:
      br.result = static_cast<int>(br.count);
      break;
    case BarrierKind::kAnd:
      br.result = br.count == br.arrived;
      break;
    case BarrierKind::kOr:
      br.result = br.count != 0;
      break;
  }
  for (ThreadCtx* t : br.waiters) {
    t->state = State::kRunning;
    b.ready.push(t);
  }
  br.waiters.clear();
  br.arrived = 0;
}

bool same_site(const Barrier& br, const char* file, int line) {
  return line == br.line && (file == br.file || std::strcmp(file, br.file) == 0);
}

uint64_t shuffle_result(const Group& g, const ThreadCtx* lanes, uint32_t lane) {
  const ThreadCtx& t = lanes[lane];
  const int64_t width = t.width;
  const int64_t first = lane & ~static_cast<uint32_t>(width - 1);
  const int64_t last = first + width - 1;
  int64_t src = lane;
  bool own = false;
  switch (t.op) {
    case WarpOp::kShflIdx:
      src = first + static_cast<int64_t>(static_cast<uint64_t>(t.operand) &
                                         static_cast<uint64_t>(width - 1));
      break;
    case WarpOp::kShflUp:
      src = lane - t.operand;
      own = src < first;
      break;
    case WarpOp::kShflDown:
      src = lane + t.operand;
      own = src > last;
      break;
    case WarpOp::kShflXor:
      // Earlier segments are reachable, later ones are not.
      src = lane ^ (t.operand & 31);
      own = src > last;
      break;
    default:
      break;
  }
  if (own) return t.value;
  if (((g.mask >> src) & 1u) == 0) return kUndefinedLaneValue;
  return lanes[src].value;
}

void compute_results(const Group& g, ThreadCtx* lanes) {
  uint32_t set = 0;
  bool all_equal = true;
  uint32_t reduced = 0;
  bool first = true;
  for (uint32_t l = 0; l < kLanes; ++l) {
    if (((g.mask >> l) & 1u) == 0) continue;
    const uint64_t v = lanes[l].value;
    const uint32_t v32 = static_cast<uint32_t>(v);
    set |= (v != 0 ? 1u : 0u) << l;
    if (first) {
      reduced = v32;
    } else {
      all_equal = all_equal && v == lanes[__builtin_ctz(g.mask)].value;
      switch (g.op) {
        case WarpOp::kReduceAdd:
          reduced += v32;
          break;
        case WarpOp::kReduceMinSigned:
          reduced = static_cast<int32_t>(v32) < static_cast<int32_t>(reduced) ? v32 : reduced;
          break;
        case WarpOp::kReduceMaxSigned:
          reduced = static_cast<int32_t>(v32) > static_cast<int32_t>(reduced) ? v32 : reduced;
          break;
        case WarpOp::kReduceMinUnsigned:
          reduced = std::min(reduced, v32);
          break;
        case WarpOp::kReduceMaxUnsigned:
          reduced = std::max(reduced, v32);
          break;
        case WarpOp::kReduceAnd:
          reduced &= v32;
          break;
        case WarpOp::kReduceOr:
          reduced |= v32;
          break;
        case WarpOp::kReduceXor:
          reduced ^= v32;
          break;
        default:
          break;
      }
    }
    first = false;
  }
  for (uint32_t l = 0; l < kLanes; ++l) {
    if (((g.mask >> l) & 1u) == 0) continue;
    ThreadCtx& t = lanes[l];
    switch (g.op) {
      case WarpOp::kShflIdx:
      case WarpOp::kShflUp:
      case WarpOp::kShflDown:
      case WarpOp::kShflXor:
        t.result = shuffle_result(g, lanes, l);
        break;
      case WarpOp::kSyncWarp:
        t.result = 0;
        break;
      case WarpOp::kBallot:
        t.result = set;
        break;
      case WarpOp::kAny:
        t.result = set != 0;
        break;
      case WarpOp::kAll:
        t.result = set == g.mask;
        break;
      case WarpOp::kMatchAny: {
        uint32_t same = 0;
        for (uint32_t m = 0; m < kLanes; ++m) {
          if (((g.mask >> m) & 1u) != 0 && lanes[m].value == t.value) same |= 1u << m;
        }
        t.result = same;
        break;
      }
      case WarpOp::kMatchAll:
        t.result = all_equal ? g.mask : 0;
        break;
      default:
        t.result = reduced;
        break;
    }
  }
}

void finish_thread(BlockRun& b, ThreadCtx& t) {
  t.state = State::kExited;
  ++b.exited;
  Warp& wp = b.warp[t.linear / kLanes];
  const uint32_t bit = 1u << (t.linear % kLanes);
  wp.exited |= bit;
  for (uint32_t g = 0; g < wp.group_count; ++g) {
    const Group& grp = wp.groups[g];
    if ((grp.mask & bit) != 0) {
      report_misuse(b, format("%s exited while lanes %s wait for it in %s with mask 0x%08x",
                              lane_text(b, t.linear).c_str(), lanes_text(grp.arrived).c_str(),
                              op_name(grp.op), grp.mask));
      return;
    }
  }
  if (b.barrier.arrived != 0 && b.barrier.arrived == b.threads - b.exited) release_barrier(b);
}

// ---------------------------------------------------------------------------------------------
// Carriers and the per-block scheduler.

void start_thread(BlockRun& b, ThreadCtx& t, uint32_t linear, Carrier* c) {
  t.linear = linear;
  t.carrier = c;
  t.state = State::kRunning;
  t.block = &b.coords;
  const uint3 d = b.coords.block_dim;
  if (d.y == 1 && d.z == 1) {
    t.thread_idx = uint3{linear, 0, 0};
  } else {
    const uint32_t rest = linear / d.x;
    t.thread_idx = uint3{linear % d.x, rest % d.y, rest / d.y};
  }
}

// Runs the carrier's thread, then unstarted threads of the block while there are any.
void run_threads(Worker& w, Carrier* c) {
  BlockRun& b = w.block;
  Launch& launch = *b.launch;
  uint32_t linear = c->first_thread;
  for (;;) {
    ThreadCtx& t = b.thread[linear];
    start_thread(b, t, linear, c);
    detail::tls_thread = &t;
    try {
      (*launch.body)();
    } catch (...) {
      std::lock_guard<std::mutex> lock(launch.exception_mutex);
      if (!launch.exception) launch.exception = std::current_exception();
      launch.stop.store(true);
    }
    detail::tls_thread = nullptr;
    if (launch.stop.load(std::memory_order_relaxed)) return;
    finish_thread(b, t);
    if (launch.stop.load(std::memory_order_relaxed)) return;
    if (b.next_unstarted == b.threads) return;
    linear = b.next_unstarted++;
  }
}

void carrier_main(fctx::transfer_t from) {
  Carrier* c = static_cast<Carrier*>(from.data);
  Worker* w = c->worker;
#ifdef ZK_EMU_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &w->scheduler_stack_bottom, &w->scheduler_stack_size);
#endif
  w->scheduler = from.fctx;
  for (;;) {
    run_threads(*w, c);
    c->busy = false;
    w->idle.push_back(c);
    to_scheduler(c, false);
  }
}

void run_block(Worker& w, Launch& launch, uint64_t index) {
  BlockRun& b = w.block;
  b.launch = &launch;
  const uint64_t gx = launch.grid.x, gy = launch.grid.y;
  b.coords.block_idx =
      uint3{static_cast<uint32_t>(index % gx), static_cast<uint32_t>((index / gx) % gy),
            static_cast<uint32_t>(index / (gx * gy))};
  b.coords.block_dim = launch.block;
  b.coords.grid_dim = launch.grid;
  b.coords.dynamic_shared = w.shared;
  b.threads = launch.block_threads;
  b.warps = (b.threads + kLanes - 1) / kLanes;
  b.next_unstarted = 0;
  b.exited = 0;
  for (uint32_t i = 0; i < b.warps; ++i) {
    const uint32_t lanes = std::min(kLanes, b.threads - i * kLanes);
    b.warp[i].existing = lanes == kLanes ? ~0u : (1u << lanes) - 1;
    b.warp[i].exited = 0;
    b.warp[i].group_count = 0;
  }
  b.barrier.arrived = 0;
  b.barrier.waiters.clear();
  b.ready.clear();
  std::memset(w.shared, kSharedPoison, launch.dynamic_bytes);

  while (!launch.stop.load(std::memory_order_relaxed)) {
    Carrier* c;
    if (!b.ready.empty()) {
      c = b.ready.pop()->carrier;
    } else if (b.next_unstarted < b.threads) {
      c = w.acquire();
      c->first_thread = b.next_unstarted++;
    } else {
      if (b.exited != b.threads) report_deadlock(b);
      break;
    }
    resume(w, c);
  }
  if (launch.stop.load()) {
    for (auto& c : w.carriers) {
      if (c->busy) w.reset(c.get());
    }
  }
}

void run_blocks(Worker& w, Launch& launch) {
  w.ensure_shared(launch.dynamic_bytes);
  while (!launch.stop.load(std::memory_order_relaxed)) {
    const uint64_t index = launch.next_block.fetch_add(1, std::memory_order_relaxed);
    if (index >= launch.total_blocks) break;
    run_block(w, launch, index);
  }
}

// ---------------------------------------------------------------------------------------------
// Persistent worker threads that join the launching thread in taking blocks.

// A forked child (a death test, say) has only the forking thread: the pool's workers are gone,
// so launches there run on the calling thread alone.
std::atomic<bool> g_in_forked_child{false};
void mark_forked_child() { g_in_forked_child.store(true); }

class Pool {
 public:
  // Never destroyed: at exit the idle workers end with the process, and a forked child, which
  // has none of them, must not wait for them in a destructor.
  static Pool& instance() {
    static Pool* pool = new Pool;
    return *pool;
  }

  unsigned size() const { return static_cast<unsigned>(threads_.size()); }

  // Runs the launch on the calling thread and `helpers` workers.
  void run(Launch& launch, unsigned helpers) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      launch_ = &launch;
      wanted_ = helpers;
      finished_ = 0;
      ++generation_;
    }
    work_.notify_all();
    run_blocks(this_worker(), launch);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return finished_ == wanted_; });
    launch_ = nullptr;
  }

 private:
  Pool() {
    pthread_atfork(nullptr, nullptr, &mark_forked_child);
    const unsigned n = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < n; ++i) workers_.push_back(std::make_unique<Worker>());
    for (unsigned i = 0; i < n; ++i) threads_.emplace_back([this, i] { loop(i); });
  }

  void loop(unsigned id) {
    uint64_t seen = 0;
    for (;;) {
      Launch* launch;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [&] { return generation_ != seen && id < wanted_; });
        seen = generation_;
        launch = launch_;
      }
      run_blocks(*workers_[id], *launch);
      std::lock_guard<std::mutex> lock(mutex_);
      if (++finished_ == wanted_) done_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_, done_;
  // Owned here rather than thread_local: they stay reachable in a forked child, which has
  // none of the threads.
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::thread> threads_;
  Launch* launch_ = nullptr;
  uint64_t generation_ = 0;
  unsigned wanted_ = 0;
  unsigned finished_ = 0;
};

bool valid_geometry(dim3 grid, dim3 block, size_t dynamic_bytes) {
  const uint64_t block_threads = uint64_t{block.x} * block.y * block.z;
  return grid.x != 0 && grid.y != 0 && grid.z != 0 && grid.x <= 0x7fffffffu && grid.y <= 65535 &&
         grid.z <= 65535 && block.x != 0 && block.y != 0 && block.z != 0 && block.x <= 1024 &&
         block.y <= 1024 && block.z <= 64 && block_threads <= kMaxBlockThreads &&
         dynamic_bytes <= kMaxDynamicShared;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry points called from device code (emu/device_emu.h).

namespace detail {

uint64_t warp_op(WarpOp op, unsigned mask, uint64_t value, int64_t operand, int width) {
  ThreadCtx& t = current_thread(op_name(op));
  BlockRun& b = t.carrier->worker->block;
  const uint32_t warp_index = t.linear / kLanes;
  const uint32_t bit = 1u << (t.linear % kLanes);
  Warp& wp = b.warp[warp_index];
  const char* name = op_name(op);

  if (is_shuffle(op) && (width < 1 || width > 32 || (width & (width - 1)) != 0)) {
    report_misuse(b, format("%s by %s: width %d is not a power of two in 1..32", name,
                            lane_text(b, t.linear).c_str(), width));
    abandon(t);
  }
  if ((mask & bit) == 0) {
    report_misuse(b, format("%s by %s: mask 0x%08x does not include the calling lane", name,
                            lane_text(b, t.linear).c_str(), mask));
    abandon(t);
  }
  if ((mask & ~wp.existing) != 0) {
    report_misuse(b,
                  format("%s by %s: mask 0x%08x names lanes %s that do not exist (the warp "
                         "has %d lanes)",
                         name, lane_text(b, t.linear).c_str(), mask,
                         lanes_text(mask & ~wp.existing).c_str(), __builtin_popcount(wp.existing)));
    abandon(t);
  }
  if ((mask & wp.exited) != 0) {
    report_misuse(
        b, format("%s by %s: mask 0x%08x names lanes %s that have exited", name,
                  lane_text(b, t.linear).c_str(), mask, lanes_text(mask & wp.exited).c_str()));
    abandon(t);
  }

  Group* group = nullptr;
  for (uint32_t g = 0; g < wp.group_count; ++g) {
    Group& grp = wp.groups[g];
    if (grp.mask == mask && grp.op == op) {
      group = &grp;
    } else if ((grp.mask & bit) != 0 && (mask & grp.arrived) != 0) {
      // Each side waits for the other in a different rendezvous: they can never meet.
      report_misuse(b, format("lanes disagree: %s calls %s with mask 0x%08x while lanes %s wait "
                              "for it in %s with mask 0x%08x",
                              lane_text(b, t.linear).c_str(), name, mask,
                              lanes_text(grp.arrived).c_str(), op_name(grp.op), grp.mask));
      abandon(t);
    }
  }

  t.op = op;
  t.mask = mask;
  t.value = value;
  t.operand = operand;
  t.width = width;
  ThreadCtx* lanes = &b.thread[warp_index * kLanes];
  if (group == nullptr) {
    if (mask == bit) {
      compute_results(Group{mask, mask, op}, lanes);
      return t.result;
    }
    group = &wp.groups[wp.group_count++];
    *group = Group{mask, 0, op};
  }
  group->arrived |= bit;
  if (group->arrived != mask) {
    t.state = State::kInWarpOp;
    suspend(t);
    return t.result;
  }
  const Group done = *group;
  *group = wp.groups[--wp.group_count];
  compute_results(done, lanes);
  for (uint32_t l = 0; l < kLanes; ++l) {
    if (((done.mask >> l) & 1u) == 0 || &lanes[l] == &t) continue;
    lanes[l].state = State::kRunning;
    b.ready.push(&lanes[l]);
  }
  return t.result;
}

unsigned active_mask() {
  ThreadCtx& t = current_thread("__activemask");
  const Warp& wp = t.carrier->worker->block.warp[t.linear / kLanes];
  return wp.existing & ~wp.exited;
}

int sync_block(const char* file, int line, BarrierKind kind, int predicate) {
  ThreadCtx& t = current_thread("__syncthreads");
  BlockRun& b = t.carrier->worker->block;
  Barrier& br = b.barrier;
  if (br.arrived == 0) {
    br.file = file;
    br.line = line;
    br.kind = kind;
    br.count = 0;
  } else if (!same_site(br, file, line)) {
    report_misuse(b, format("threads are at different barriers: %s reached __syncthreads at "
                            "%s:%d while %u thread(s) wait at %s:%d (first: %s)",
                            thread_text(b, t.linear).c_str(), file, line, br.arrived, br.file,
                            br.line, thread_text(b, br.waiters.front()->linear).c_str()));
    abandon(t);
  }
  ++br.arrived;
  br.count += predicate != 0 ? 1 : 0;
  if (br.arrived == b.threads - b.exited) {
    release_barrier(b);
  } else {
    t.state = State::kAtBarrier;
    br.waiters.push_back(&t);
    suspend(t);
  }
  return br.result;
}

void trap(const char* file, int line) {
  ThreadCtx& t = current_thread("__trap");
  BlockRun& b = t.carrier->worker->block;
  report_misuse(b, format("__trap() at %s:%d by %s", file, line, thread_text(b, t.linear).c_str()));
  abandon(t);
}

}  // namespace detail

cudaError_t launch_kernel(const char* kernel_name, dim3 grid, dim3 block,
                          size_t dynamic_shared_bytes, const std::function<void()>& thread_body) {
  if (!valid_geometry(grid, block, dynamic_shared_bytes)) return cudaErrorInvalidConfiguration;
  if (detail::tls_thread != nullptr) {
    record_report(
        format("zk_emu: misuse: kernel '%s' launched from inside a kernel, which the "
               "emulator does not support",
               kernel_name));
    return cudaErrorLaunchFailure;
  }
  // Launches are synchronous; one grid at a time keeps the worker pool simple.
  static std::mutex launch_mutex;
  std::lock_guard<std::mutex> lock(launch_mutex);

  Launch launch;
  launch.name = kernel_name;
  launch.grid = grid;
  launch.block = block;
  launch.dynamic_bytes = dynamic_shared_bytes;
  launch.body = &thread_body;
  launch.block_threads = block.x * block.y * block.z;
  launch.total_blocks = uint64_t{grid.x} * grid.y * grid.z;

  if (launch.total_blocks == 1 || g_in_forked_child.load()) {
    run_blocks(this_worker(), launch);
  } else {
    Pool& pool = Pool::instance();
    pool.run(launch,
             static_cast<unsigned>(std::min<uint64_t>(pool.size(), launch.total_blocks - 1)));
  }
  if (launch.exception) std::rethrow_exception(launch.exception);
  return launch.stop.load() ? cudaErrorLaunchFailure : cudaSuccess;
}

void* dynamic_shared_memory() {
  return detail::tls_thread != nullptr ? detail::tls_thread->block->dynamic_shared : nullptr;
}

int misuse_count() {
  std::lock_guard<std::mutex> lock(g_report_mutex);
  return g_report_count;
}

const char* last_misuse_report() {
  std::lock_guard<std::mutex> lock(g_report_mutex);
  return g_last_report.c_str();
}

void reset_misuse_reports() {
  std::lock_guard<std::mutex> lock(g_report_mutex);
  g_report_count = 0;
  g_last_report.clear();
}

}  // namespace zk_emu
