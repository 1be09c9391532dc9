// tavo-bench: measures tavo and the Sio library beside the tools users know and beside
// floor loops, on pseudo-terminal pairs, and prints one table. Every figure has its
// baseline from the same run; timings are shown, never judged. The exit status is 1
// only when something is broken (bytes lost or changed, a program that does not
// start or answer).
//
//   tavo-bench [--short] [--bin DIR] [--rows 1,2,...] [--table FILE]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "bench.h"

struct RowEntry {
  int number;  // 2 runs rows 2 and 3
  void (*run)(void);
};

static const RowEntry rows[] = {
    {1, row_flood},         {2, row_latency}, {4, row_text_download}, {5, row_binary_download},
    {6, row_save},          {7, row_idle},    {8, row_library_throughput}, {9, row_network},
};

static std::string self_dir(void) {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  char *slash = strrchr(path, '/');
  if (slash != nullptr) *slash = '\0';
  return path;
}

static std::string cpu_model(void) {
  FILE *f = fopen("/proc/cpuinfo", "r");
  char line[512];
  std::string model = "unknown";
  while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "model name", 10) == 0) {
      const char *colon = strchr(line, ':');
      model = colon != nullptr ? colon + 2 : line;
      model.erase(model.find_last_not_of("\n") + 1);
      break;
    }
  }
  if (f != nullptr) fclose(f);
  return model;
}

static bool row_wanted(const std::string &list, int number) {
  if (list.empty()) return true;
  std::string padded = "," + list + ",";
  if (padded.find("," + std::to_string(number) + ",") != std::string::npos) return true;
  return number == 2 && padded.find(",3,") != std::string::npos;
}

static int usage(void) {
  fprintf(stderr, "usage: tavo-bench [--short] [--bin DIR] [--rows 1,2,...] [--table FILE]\n");
  return 2;
}

static void remove_work_dir(void) {
  std::string command = "rm -rf '" + config.work_dir + "'";
  if (system(command.c_str()) != 0) fprintf(stderr, "bench: could not remove %s\n", config.work_dir.c_str());
}

int main(int argc, char **argv) {
  std::string row_list, table_path;
  config.bin_dir = self_dir();
  config.short_mode = getenv("TAVO_BENCH_SHORT") != nullptr;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--short") {
      config.short_mode = true;
    } else if (a == "--bin" && i + 1 < argc) {
      config.bin_dir = argv[++i];
    } else if (a == "--rows" && i + 1 < argc) {
      row_list = argv[++i];
    } else if (a == "--table" && i + 1 < argc) {
      table_path = argv[++i];
    } else {
      return usage();
    }
  }
  signal(SIGPIPE, SIG_IGN);
  pattern_bytes();  // made once, before any row's threads read it
  config.have_picocom = access("/usr/bin/picocom", X_OK) == 0;
  config.have_network = access("/usr/sbin/ser2net", X_OK) == 0 && access("/usr/bin/socat", X_OK) == 0;
  char dir[] = "/tmp/tavo-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  config.work_dir = dir;

  for (const RowEntry &row : rows) {
    if (!row_wanted(row_list, row.number)) continue;
    fprintf(stderr, "bench: row %d...\n", row.number);
    row.run();
  }
  remove_work_dir();

  char header[1024];
  snprintf(header, sizeof header,
           "TAVO benchmarks (%s run): %ld processors, %s\ncommand: %s\n"
           "ratio = program / baseline (rates: higher is better; times: lower is better)\n%s\n",
           config.short_mode ? "short" : "full", sysconf(_SC_NPROCESSORS_ONLN), cpu_model().c_str(),
           config.short_mode ? "bench/run --short" : "make bench",
           config.have_picocom ? "" : "picocom is not installed: its columns are empty\n");
  fputs(header, stdout);
  table_print(stdout);
  if (!table_path.empty()) {
    FILE *out = fopen(table_path.c_str(), "w");
    if (out != nullptr) {
      fputs(header, out);
      table_print(out);
      fclose(out);
    }
  }
  return table_failures() == 0 ? 0 : 1;
}
