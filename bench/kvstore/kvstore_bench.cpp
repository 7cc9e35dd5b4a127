// The ordered walk and the lookup over stores of 25 to 200 entries. The
// walk through at(i) should cost the same per entry at every size (the
// cursor), and a lookup a short chain walk whatever the size.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kvstore/kvstore.h"

namespace {

// Keys whose first two letters vary, as parameter names do.
std::vector<std::string> make_keys(int n) {
  std::vector<std::string> keys;
  unsigned seed = 12345;
  for (int i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    char key[64];
    std::snprintf(key, sizeof key, "%c%c parameter %d", 'A' + int((seed >> 16) % 26), 'a' + int((seed >> 8) % 26), i);
    keys.push_back(key);
  }
  return keys;
}

void fill(KVSTORE<KVDLGFIELD>& s, const std::vector<std::string>& keys) {
  for (const std::string& k : keys) s.addstr(k.c_str(), nullptr, "1.0", 0, KVF_MULTI);
}

void BM_OrderedWalk(benchmark::State& state) {
  KVSTORE<KVDLGFIELD> s;
  fill(s, make_keys(int(state.range(0))));
  for (auto _ : state) {
    for (int i = 0; i < s.count(); ++i) benchmark::DoNotOptimize(s.at(i));
  }
  state.SetItemsProcessed(state.iterations() * s.count());
}

// The same walk with the cursor spoiled before every step, as a walk costs
// without it: quadratic in the size.
void BM_WalkWithoutCursor(benchmark::State& state) {
  KVSTORE<KVDLGFIELD> s;
  fill(s, make_keys(int(state.range(0))));
  for (auto _ : state) {
    for (int i = 0; i < s.count(); ++i) {
      s.list.cursor_pos = -1;
      benchmark::DoNotOptimize(s.at(i));
    }
  }
  state.SetItemsProcessed(state.iterations() * s.count());
}

void BM_Lookup(benchmark::State& state) {
  KVSTORE<KVDLGFIELD> s;
  std::vector<std::string> keys = make_keys(int(state.range(0)));
  fill(s, keys);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.lookup(keys[i].c_str()));
    i = (i + 7) % keys.size();
  }
  // Average number of entries a lookup passes in its chain.
  double steps = 0;
  for (const std::string& k : keys) {
    for (KVDLGFIELD* e = s.list.buckets[s.lookup(k.c_str())->bucket]; e; e = e->hash_next) {
      ++steps;
      if (e == s.lookup(k.c_str())) break;
    }
  }
  state.counters["chain_steps"] = steps / double(keys.size());
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_OrderedWalk)->Arg(25)->Arg(50)->Arg(100)->Arg(200);
BENCHMARK(BM_WalkWithoutCursor)->Arg(25)->Arg(50)->Arg(100)->Arg(200);
BENCHMARK(BM_Lookup)->Arg(25)->Arg(50)->Arg(100)->Arg(200);

}  // namespace
