// peer_bench: one figure of one side per run, so that the CPU a run counts
// is that side's alone (bench/peer_ratios.sh runs them all, repeatedly).
//
//   peer_bench FIGURE SIDE [SECONDS]
//   FIGURE: pingpong_1conn pingpong_16conn stream udp timers hop
//   SIDE:   framework framepoll libuv raw rawhop (rawhop: the pingpong figures
//           only; framepoll: the framework's polling configuration)
//
// Prints "FIGURE SIDE VALUE UNIT" per figure (timers gives timers_cpu,
// timers_p50 and timers_p99). Exit 0; 1 when the run failed (the reason on
// stderr); 2 for a bad command line; 3 when SIDE is libuv and the program
// was built without it.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "peer_common.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::cerr << "usage: peer_bench FIGURE SIDE [SECONDS]\n  FIGURE:";
    for (const std::string& f : peer::FigureNames()) std::cerr << " " << f;
    std::cerr << "\n  SIDE: framework framepoll libuv raw rawhop\n";
    return 2;
  }
  const std::string figure = argv[1], name = argv[2];
  peer::RunOptions opt;
  if (argc == 4) {
    opt.seconds = std::atof(argv[3]);
    if (!(opt.seconds > 0 && opt.seconds < 600)) {
      std::cerr << "SECONDS: a number of seconds above 0\n";
      return 2;
    }
  }
  bool missing = false;
  std::unique_ptr<peer::PeerSide> side = peer::MakeSide(name, &missing);
  if (missing) {
    std::cerr << "libuv: not built in (install libuv1-dev, then configure the build again)\n";
    return 3;
  }
  if (side == nullptr) {
    std::cerr << "no side " << name << "\n";
    return 2;
  }
  std::vector<peer::Figure> out;
  std::string err;
  const int rc = peer::RunFigure(figure, std::move(side), opt, &out, &err);
  if (rc != 0) {
    std::cerr << figure << " " << name << ": " << err << "\n";
    return 1;
  }
  for (const peer::Figure& f : out)
    std::printf("%s %s %.6g %s\n", f.name.c_str(), name.c_str(), f.value, f.unit.c_str());
  return 0;
}
