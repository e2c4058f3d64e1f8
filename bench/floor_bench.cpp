// Floor benchmark: times, for one call, only the work the algorithm cannot
// avoid (every real FFT the call makes, at the same sizes and counts, on
// pre-filled aligned buffers, and every halving of the rate as a plain
// symmetric half-band filter over its 33 non-zero taps) and, beside it, the
// engine's own time for the same call on one thread and on all cores.
//
// Usage: floor_bench [--kind cqt|chroma|hcqt] [--sr HZ] [--hop N] [--fmin HZ]
//                    [--n-bins N] [--bins-per-octave N] [--n-octaves N]
//                    [--n-chroma N] [--harmonics H,H,...] [--gamma HZ]
//                    (--seconds S | --input FILE.f32)
//                    [--repeats N] [--warmup N] [--json]
// For chroma the bin count is n_octaves * bins_per_octave. For hcqt the floor
// is the FFTs the harmonics share (one per frame of every level and FFT
// size any channel reads) and one pyramid of halvings. --input reads raw
// little-endian float32 samples, so the runner can hand every timed program
// the same signal. --json prints one JSON line instead of the table. Beside
// the floor, for reference, it times the kernel products alone (in cache) and
// writing the output once into fresh memory: costs every call has on top of it.
#include "chroma/chroma.h"
#include "engine/cqt.h"
#include "engine/hcqt.h"
#include "engine/octave_plan.h"
#include "engine/transform_set.h"

#include <pffft.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvat::vexolin {
namespace {

// ---------------------------------------------------------------------------
// The call's octave plan, copied from the engine's own: early halvings, and
// per octave n_fft, length, hop and halve_after. Every octave computes the
// call's common frame count.

struct PlannedOctave {
  int n_fft;     // real FFT size of every frame
  int len;       // signal length at this octave's rate
  int hop;       // hop at this octave's rate
  int n_frames;  // frames the octave computes
  int halvings_after;  // the rate is halved this often before the next octave
};

struct CallPlan {
  int n_octaves = 0;
  int early_halvings = 0;
  int n_frames = 0;                     // common frame count of the result
  std::vector<int> halving_inputs;      // input length of every halving, in call order
  std::vector<PlannedOctave> octaves;   // top octave first
};

CallPlan plan_call(const CqtPlan& engine) {
  CallPlan plan;
  plan.n_octaves = static_cast<int>(engine.octaves.octaves.size());
  plan.early_halvings = engine.octaves.early_halvings;
  plan.n_frames = engine.n_frames;
  std::int64_t len_cur = static_cast<std::int64_t>(engine.len);
  for (int i = 0; i < plan.early_halvings; ++i) {
    plan.halving_inputs.push_back(static_cast<int>(len_cur));
    len_cur = detail::halved_length(len_cur);
  }
  for (const OctaveSpan& o : engine.octaves.octaves) {
    plan.octaves.push_back({o.n_fft, static_cast<int>(o.len), o.hop, engine.n_frames, o.halve_after ? 1 : 0});
    if (o.halve_after) plan.halving_inputs.push_back(static_cast<int>(o.len));
  }
  return plan;
}

// The harmonic transform's shared work: every frame group (level, hop, FFT
// size) once, lowest level first, and the pyramid's halvings between them.
CallPlan plan_harmonic_call(const HcqtPlan& engine) {
  std::vector<const CqtPlan*> channels;
  for (const CqtPlan& c : engine.channels) channels.push_back(&c);
  TransformSet set = group_transforms(channels, false);
  std::vector<FrameGroup> groups = set.groups;
  std::stable_sort(groups.begin(), groups.end(),
                   [](const FrameGroup& a, const FrameGroup& b) { return a.level < b.level; });
  std::vector<std::int64_t> level_len = {static_cast<std::int64_t>(engine.channels.front().len)};
  for (int i = 1; i < set.n_levels; ++i) level_len.push_back(detail::halved_length(level_len.back()));
  CallPlan plan;
  plan.n_octaves = static_cast<int>(groups.size());
  plan.early_halvings = groups.front().level;
  plan.n_frames = engine.n_frames;
  for (int i = 0; i + 1 < set.n_levels; ++i) plan.halving_inputs.push_back(static_cast<int>(level_len[i]));
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const int next = g + 1 < groups.size() ? groups[g + 1].level : groups[g].level;
    plan.octaves.push_back({groups[g].n_fft, static_cast<int>(level_len[groups[g].level]), groups[g].hop,
                            engine.n_frames, next - groups[g].level});
  }
  return plan;
}

// ---------------------------------------------------------------------------
// The engine's output, allocated as NumPy allocates the module's results: from
// malloc, with huge pages asked for on arrays of 4 MiB and more. The engine
// is then timed writing into the memory it writes into when called from Python.

struct FreeFloats {
  void operator()(float* p) const { std::free(p); }
};
using EngineOutput = std::unique_ptr<float, FreeFloats>;

EngineOutput numpy_like_output(std::size_t n) {
  float* data = static_cast<float*>(std::malloc(std::max<std::size_t>(n, 1) * sizeof(float)));
  if (data == nullptr) throw std::bad_alloc();
  const std::size_t bytes = n * sizeof(float);
  if (bytes >= (std::size_t{1} << 22)) {
    const std::uintptr_t page = 4096;
    const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);  // advice only
  }
  return EngineOutput(data);
}

// ---------------------------------------------------------------------------
// Floor pieces.

struct AlignedFloats {
  explicit AlignedFloats(std::size_t n) : data(static_cast<float*>(pffft_aligned_malloc(n * sizeof(float)))), size(n) {
    if (data == nullptr) throw std::bad_alloc();
    std::memset(data, 0, n * sizeof(float));
  }
  ~AlignedFloats() { pffft_aligned_free(data); }
  AlignedFloats(const AlignedFloats&) = delete;
  AlignedFloats& operator=(const AlignedFloats&) = delete;
  float* data;
  std::size_t size;
};

// Non-zero taps of a 65-tap half-band low-pass: the centre and the odd taps
// h[1], h[3], ..., h[31] (the other half mirrors them). The exact window does
// not change the cost, so a Hann-windowed sinc stands in for the engine's.
struct HalfBand {
  float centre;
  float odd[16];
};

HalfBand half_band() {
  HalfBand h{};
  const double pi = 3.141592653589793;
  double total = 0.5;
  for (int j = 0; j < 16; ++j) {
    const double d = 2 * j + 1 - 32;  // tap offset from the centre
    const double w = 0.5 + 0.5 * std::cos(pi * d / 33.0);
    const double v = w * std::sin(pi * d / 2.0) / (pi * d);
    h.odd[j] = static_cast<float>(v);
    total += 2.0 * v;
  }
  h.centre = static_cast<float>(0.5 / total);
  for (float& tap : h.odd) tap = static_cast<float>(tap / total);
  return h;
}

// Halves x[0 .. n - 1] into (n + 1) / 2 outputs, reading zeros beyond both
// ends. The odd samples are first gathered into `odd` (n / 2 + 32 floats,
// 16 zeros at each end) so that every tap reads consecutive floats; outputs
// are taken in blocks with the tap loop outside, so that the compiler can
// vectorise across outputs without reordering any sum.
void halve(const float* x, int n, float* y, float* odd, const HalfBand& h) {
  const int m_out = (n + 1) / 2;
  const int n_odd = n / 2;
  for (int i = 0; i < 16; ++i) odd[i] = 0.0f;
  for (int i = 0; i < n_odd; ++i) odd[16 + i] = x[2 * i + 1];
  for (int i = 0; i < 16; ++i) odd[16 + n_odd + i] = 0.0f;
  constexpr int block = 64;
  float acc[block];
  for (int m0 = 0; m0 < m_out; m0 += block) {
    const int count = std::min(block, m_out - m0);
    const float* c = x + 2 * static_cast<std::ptrdiff_t>(m0);
    for (int i = 0; i < count; ++i) acc[i] = h.centre * c[2 * i];
    // Output m reads odd samples m - 16 + j and m + 15 - j (tap h[2j + 1]).
    const float* o = odd + 16 + m0;
    for (int j = 0; j < 16; ++j) {
      const float tap = h.odd[j];
      const float* lo = o + j - 16;
      const float* hi = o + 15 - j;
      for (int i = 0; i < count; ++i) acc[i] += tap * (lo[i] + hi[i]);
    }
    for (int i = 0; i < count; ++i) y[m0 + i] = acc[i] * 1.41421356f;
  }
}

constexpr int pad = 32;  // floats before each chain buffer's samples: keeps them 64-byte aligned
constexpr int frame_ring = 8;  // distinct pre-filled frames cycled through

// Everything the floor touches, allocated and filled before any timing.
struct FloorBuffers {
  std::vector<std::unique_ptr<AlignedFloats>> chain;  // padded input of every halving, then its output
  std::vector<PFFFT_Setup*> setups;                   // per octave; left to process exit
  std::unique_ptr<AlignedFloats> odd;                 // gathered odd samples of a halving
  std::unique_ptr<AlignedFloats> frames, spectrum, work;
};

FloorBuffers prepare_floor(const CallPlan& plan, const std::vector<float>& y) {
  FloorBuffers b;
  // Buffer k holds the input of halving k; one more holds the last output.
  std::vector<int> lengths = plan.halving_inputs;
  if (!lengths.empty()) lengths.push_back((lengths.back() + 1) / 2);
  for (int n : lengths) b.chain.push_back(std::make_unique<AlignedFloats>(static_cast<std::size_t>(n) + 2 * pad));
  if (!b.chain.empty()) std::copy(y.begin(), y.end(), b.chain[0]->data + pad);
  b.odd = std::make_unique<AlignedFloats>((lengths.empty() ? 0 : static_cast<std::size_t>(lengths[0]) / 2) + 2 * pad);
  int max_fft = 32;
  for (const PlannedOctave& o : plan.octaves) {
    b.setups.push_back(pffft_new_setup(o.n_fft, PFFFT_REAL));
    max_fft = std::max(max_fft, o.n_fft);
  }
  b.frames = std::make_unique<AlignedFloats>(static_cast<std::size_t>(frame_ring) * max_fft);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (std::size_t i = 0; i < b.frames->size; ++i) b.frames->data[i] = u(rng);
  b.spectrum = std::make_unique<AlignedFloats>(max_fft);
  b.work = std::make_unique<AlignedFloats>(max_fft);
  return b;
}

struct FloorTimes {
  double fft = 0.0;
  double decimate = 0.0;
};

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// One pass in the call's order: early halvings, then per octave its FFTs and
// the halving that follows it.
FloorTimes run_floor(const CallPlan& plan, FloorBuffers& b, const HalfBand& h) {
  FloorTimes t;
  std::size_t k = 0;
  auto halve_next = [&] {
    const auto t0 = Clock::now();
    halve(b.chain[k]->data + pad, plan.halving_inputs[k], b.chain[k + 1]->data + pad, b.odd->data, h);
    t.decimate += seconds_since(t0);
    ++k;
  };
  for (int i = 0; i < plan.early_halvings; ++i) halve_next();
  for (std::size_t o = 0; o < plan.octaves.size(); ++o) {
    const PlannedOctave& oct = plan.octaves[o];
    const auto t0 = Clock::now();
    for (int f = 0; f < oct.n_frames; ++f) {
      const float* in = b.frames->data + static_cast<std::size_t>(f % frame_ring) * oct.n_fft;
      pffft_transform_ordered(b.setups[o], in, b.spectrum->data, b.work->data, PFFFT_FORWARD);
    }
    t.fft += seconds_since(t0);
    for (int i = 0; i < oct.halvings_after; ++i) halve_next();
  }
  return t;
}

// ---------------------------------------------------------------------------
// Beyond the floor, for reference: two costs every call has on top of it.

// The kernel products of every octave of the channels over the call's
// frames, as the engine computes them, with spectra and output rows kept in
// cache (random spectra, rows 64 frames wide and written over): what the
// products cost at best.
double time_products(const std::vector<const CqtPlan*>& channels, int n_frames) {
  TransformSet set = group_transforms(channels, false);
  resolve_bases(set, 1, {});
  constexpr int width = group_blocks * frame_block;
  std::vector<float> rows(static_cast<std::size_t>(channels.front()->n_bins) * channels.size() * width);
  std::vector<ChannelOut> outs(channels.size());
  for (std::size_t c = 0; c < channels.size(); ++c) {
    outs[c].target.mag = rows.data();
    outs[c].first_row = static_cast<int>(c) * channels[c]->n_bins;
  }
  const std::vector<GroupWork> work = bind_groups(set, outs, width);
  const ScratchSize size = scratch_size(work);
  FrameScratch scratch(size.n_fft, size.used_bins);
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (std::size_t i = 0; i < scratch.block_re.size(); ++i) {
    scratch.block_re.data()[i] = u(rng);
    scratch.block_im.data()[i] = u(rng);
  }
  const auto t0 = Clock::now();
  for (const GroupWork& w : work) {
    const int held = blocks_held(static_cast<int>(w.jobs.size()));
    for (int g0 = 0; g0 < n_frames; g0 += held * frame_block) {
      const int count = std::min(held * frame_block, n_frames - g0);
      for (const OctaveJob& job : w.jobs) store_block(job, scratch, 0, count, (count + frame_block - 1) / frame_block);
    }
  }
  return seconds_since(t0);
}

// Writing the call's output once into fresh memory: the pages the system
// must hand over, zeroed, before the engine's values can land in them.
double time_fresh_output(std::size_t n) {
  const auto t0 = Clock::now();
  const EngineOutput out = numpy_like_output(n);
  std::memset(out.get(), 0, n * sizeof(float));
  return seconds_since(t0);
}

// ---------------------------------------------------------------------------
// Statistics and output.

struct Stats {
  double median, q1, q3, min, max;
  int n;
};

double quantile(const std::vector<double>& sorted, double q) {
  const double pos = q * static_cast<double>(sorted.size() - 1);
  const std::size_t lo = static_cast<std::size_t>(pos);
  const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
  return sorted[lo] + (pos - static_cast<double>(lo)) * (sorted[hi] - sorted[lo]);
}

Stats stats_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {quantile(v, 0.5), quantile(v, 0.25), quantile(v, 0.75), v.front(), v.back(), static_cast<int>(v.size())};
}

std::string json(const Stats& s) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "{\"median\": %.6e, \"q1\": %.6e, \"q3\": %.6e, \"min\": %.6e, \"max\": %.6e, \"n\": %d}",
                s.median, s.q1, s.q3, s.min, s.max, s.n);
  return buf;
}

struct Options {
  std::string kind = "cqt";
  double sr = 22050.0;
  int hop = 512;
  double fmin = 0.0;  // C1
  int n_bins = 84;
  int bins_per_octave = 12;
  int n_octaves = 7;
  int n_chroma = 12;
  std::vector<double> harmonics = {0.5, 1.0, 2.0, 3.0, 4.0, 5.0};
  double gamma = 0.0;
  double seconds = 180.0;
  std::string input;
  int repeats = 7;
  int warmup = 1;
  bool json = false;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--kind") o.kind = value();
    else if (a == "--sr") o.sr = std::stod(value());
    else if (a == "--hop") o.hop = std::stoi(value());
    else if (a == "--fmin") o.fmin = std::stod(value());
    else if (a == "--n-bins") o.n_bins = std::stoi(value());
    else if (a == "--bins-per-octave") o.bins_per_octave = std::stoi(value());
    else if (a == "--n-octaves") o.n_octaves = std::stoi(value());
    else if (a == "--n-chroma") o.n_chroma = std::stoi(value());
    else if (a == "--gamma") o.gamma = std::stod(value());
    else if (a == "--harmonics") {
      o.harmonics.clear();
      std::string list = value();
      for (std::size_t at = 0; at <= list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        o.harmonics.push_back(std::stod(list.substr(at, comma - at)));
        at = comma + 1;
      }
    }
    else if (a == "--seconds") o.seconds = std::stod(value());
    else if (a == "--input") o.input = value();
    else if (a == "--repeats") o.repeats = std::max(1, std::stoi(value()));
    else if (a == "--warmup") o.warmup = std::max(0, std::stoi(value()));
    else if (a == "--json") o.json = true;
    else throw std::invalid_argument("unknown argument " + a);
  }
  if (o.kind != "cqt" && o.kind != "chroma" && o.kind != "hcqt") {
    throw std::invalid_argument("--kind must be cqt, chroma or hcqt");
  }
  return o;
}

std::vector<float> load_signal(const Options& o) {
  if (!o.input.empty()) {
    std::ifstream in(o.input, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot read " + o.input);
    const std::streamsize bytes = in.tellg();
    in.seekg(0);
    std::vector<float> y(static_cast<std::size_t>(bytes) / sizeof(float));
    in.read(reinterpret_cast<char*>(y.data()), static_cast<std::streamsize>(y.size() * sizeof(float)));
    return y;
  }
  std::vector<float> y(static_cast<std::size_t>(o.seconds * o.sr));
  std::mt19937 rng(0);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double t = static_cast<double>(i) / o.sr;
    y[i] = static_cast<float>(0.5 * std::sin(6.283185307179586 * 110.0 * t) +
                              0.25 * std::sin(6.283185307179586 * 440.0 * t)) + noise(rng);
  }
  return y;
}

int run(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const std::vector<float> y = load_signal(o);
  const bool chroma = o.kind == "chroma";
  const bool harmonic = o.kind == "hcqt";
  // The calls as the module plans them.
  auto plan_chroma_call = [&] {
    return plan_chroma(y.size(), o.sr, o.hop, o.bins_per_octave, o.n_octaves, o.n_chroma, o.fmin);
  };
  const CqtParams params{o.sr, o.hop, o.fmin, o.n_bins, o.bins_per_octave, 1.0, 0.01, o.gamma};
  auto plan_cqt_call = [&] { return plan_cqt(y.size(), params); };
  auto plan_hcqt_call = [&] { return plan_hcqt(y.size(), params, o.harmonics); };
  const CqtPlan first = chroma ? plan_chroma_call().cqt : harmonic ? plan_hcqt_call().channels.front()
                                                                   : plan_cqt_call();
  const int n_bins = first.n_bins;
  const double fmin = harmonic ? effective_fmin(o.fmin) : first.freqs.front();

  const CallPlan plan = harmonic ? plan_harmonic_call(plan_hcqt_call()) : plan_call(first);
  FloorBuffers buffers = prepare_floor(plan, y);
  const HalfBand h = half_band();

  // The engine as the module runs it: planned, then written into an output
  // of its own (magnitudes, or chroma folded as the bins are computed).
  auto engine_call = [&](int threads) {
    if (chroma) {
      const ChromaPlan call = plan_chroma_call();
      const EngineOutput out = numpy_like_output(static_cast<std::size_t>(call.n_chroma) * call.cqt.n_frames);
      run_chroma(call, y.data(), out.get(), threads);
      return call.cqt.n_frames;
    }
    if (harmonic) {
      const HcqtPlan call = plan_hcqt_call();
      const EngineOutput out =
          numpy_like_output(call.harmonics.size() * static_cast<std::size_t>(call.n_bins) * call.n_frames);
      CqtTarget target;
      target.mag = out.get();
      run_hcqt(call, y.data(), target, threads);
      return call.n_frames;
    }
    const CqtPlan call = plan_cqt_call();
    const EngineOutput out = numpy_like_output(static_cast<std::size_t>(call.n_bins) * call.n_frames);
    CqtTarget target;
    target.mag = out.get();
    run_cqt(call, y.data(), target, threads);
    return call.n_frames;
  };
  const int all_cores = std::max(1u, std::thread::hardware_concurrency());
  auto time_engine = [&](int threads) {
    const auto t0 = Clock::now();
    engine_call(threads);
    return seconds_since(t0);
  };
  // The plan must describe the call the engine actually makes.
  if (engine_call(1) != plan.n_frames) {
    throw std::logic_error("the octave plan's frame count differs from the engine's; plan_call is out of date");
  }

  // The channels whose products are timed beside the floor (none for
  // chroma, whose bins are folded as they are computed), and the output size.
  std::vector<CqtPlan> product_plans;
  if (harmonic) product_plans = plan_hcqt_call().channels;
  if (!harmonic && !chroma) product_plans.push_back(plan_cqt_call());
  std::vector<const CqtPlan*> product_channels;
  for (const CqtPlan& c : product_plans) product_channels.push_back(&c);
  const std::size_t output_size =
      static_cast<std::size_t>(plan.n_frames) *
      (chroma ? static_cast<std::size_t>(o.n_chroma) : product_plans.size() * static_cast<std::size_t>(n_bins));

  // Floor and engine take turns within every repeat, so that a change in the
  // machine's load during the run reaches both alike; the ratios are taken
  // per repeat.
  std::vector<double> fft, dec, floor_total, engine_1_times, engine_all_times, ratio_1, ratio_all;
  std::vector<double> products, fresh, beyond_ratio;
  for (int r = 0; r < o.warmup + o.repeats; ++r) {
    const FloorTimes t = run_floor(plan, buffers, h);
    const double e1 = time_engine(1);
    const double eall = time_engine(all_cores);
    const double p = product_channels.empty() ? 0.0 : time_products(product_channels, plan.n_frames);
    const double w = time_fresh_output(output_size);
    if (r < o.warmup) continue;
    products.push_back(p);
    fresh.push_back(w);
    beyond_ratio.push_back((t.fft + t.decimate + p + w) / (t.fft + t.decimate));
    fft.push_back(t.fft);
    dec.push_back(t.decimate);
    floor_total.push_back(t.fft + t.decimate);
    engine_1_times.push_back(e1);
    engine_all_times.push_back(eall);
    ratio_1.push_back(e1 / (t.fft + t.decimate));
    ratio_all.push_back(eall / (t.fft + t.decimate));
  }
  const Stats engine_1 = stats_of(engine_1_times);
  const Stats engine_all = stats_of(engine_all_times);
  const Stats floor_s = stats_of(floor_total), fft_s = stats_of(fft), dec_s = stats_of(dec);
  const Stats ratio_1_s = stats_of(ratio_1), ratio_all_s = stats_of(ratio_all);
  const Stats products_s = stats_of(products), fresh_s = stats_of(fresh), beyond_s = stats_of(beyond_ratio);

  if (o.json) {
    std::string octaves;
    for (const PlannedOctave& oc : plan.octaves) {
      if (!octaves.empty()) octaves += ", ";
      octaves += "{\"n_fft\": " + std::to_string(oc.n_fft) + ", \"len\": " + std::to_string(oc.len) +
                 ", \"hop\": " + std::to_string(oc.hop) + ", \"n_frames\": " + std::to_string(oc.n_frames) + "}";
    }
    std::printf(
        "{\"kind\": \"%s\", \"sr\": %.17g, \"hop\": %d, \"fmin\": %.17g, \"n_bins\": %d, \"bins_per_octave\": %d, "
        "\"samples\": %zu, \"n_frames\": %d, \"early_halvings\": %d, \"halvings\": %zu, \"octaves\": [%s], "
        "\"threads_all\": %d, \"floor\": %s, \"floor_fft\": %s, \"floor_decimate\": %s, \"engine_1\": %s, "
        "\"engine_all\": %s, \"engine_1_over_floor\": %s, \"engine_all_over_floor\": %s, \"products_hot\": %s, "
        "\"fresh_output\": %s, \"floor_products_output_over_floor\": %s}\n",
        o.kind.c_str(), o.sr, o.hop, fmin, n_bins, o.bins_per_octave, y.size(), plan.n_frames, plan.early_halvings,
        plan.halving_inputs.size(), octaves.c_str(), all_cores, json(floor_s).c_str(), json(fft_s).c_str(),
        json(dec_s).c_str(), json(engine_1).c_str(), json(engine_all).c_str(), json(ratio_1_s).c_str(),
        json(ratio_all_s).c_str(), json(products_s).c_str(), json(fresh_s).c_str(), json(beyond_s).c_str());
    return 0;
  }

  std::printf("%s, sr %g Hz, hop %d, %d bins at %d per octave, %zu samples: %d octaves, %d early halvings, "
              "%zu halvings in all\n",
              o.kind.c_str(), o.sr, o.hop, n_bins, o.bins_per_octave, y.size(), plan.n_octaves, plan.early_halvings,
              plan.halving_inputs.size());
  for (const PlannedOctave& oc : plan.octaves) {
    std::printf("  octave: n_fft %5d, length %9d, hop %4d, frames %7d\n", oc.n_fft, oc.len, oc.hop, oc.n_frames);
  }
  std::printf("%-22s %10s %10s %10s %8s\n", "median of repeats", "time ms", "min ms", "max ms", "/ floor");
  auto row = [&](const char* name, const Stats& s, double over_floor) {
    std::printf("%-22s %10.3f %10.3f %10.3f %8.2f\n", name, 1e3 * s.median, 1e3 * s.min, 1e3 * s.max, over_floor);
  };
  row("floor: FFTs", fft_s, fft_s.median / floor_s.median);
  row("floor: halvings", dec_s, dec_s.median / floor_s.median);
  row("floor", floor_s, 1.0);
  row("engine, 1 thread", engine_1, ratio_1_s.median);
  std::string all = "engine, " + std::to_string(all_cores) + " threads";
  row(all.c_str(), engine_all, ratio_all_s.median);
  std::printf("beyond the floor, for reference:\n");
  if (!product_channels.empty()) row("  products, hot", products_s, products_s.median / floor_s.median);
  row("  fresh output", fresh_s, fresh_s.median / floor_s.median);
  std::printf("%-22s %43.2f\n", "  floor + both", beyond_s.median);
  std::printf("engine / floor: median of the per-repeat ratios (floor and engine take turns)\n");
  return 0;
}

}  // namespace
}  // namespace morvat::vexolin

int main(int argc, char** argv) {
  try {
    return morvat::vexolin::run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "floor_bench: %s\n", e.what());
    return 2;
  }
}
