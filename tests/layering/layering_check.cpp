// Reads the #include lines of every product source and fails on one that
// reaches a higher layer, another program or a Windows header where the
// table of layers (layers.txt) forbids it, and on includes in a circle.
// Usage: layering_check TABLE SOURCE_ROOT
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Layer {
  std::string folder;  // relative to the source root, with '/'
  std::string program;
  int rank = 0;  // 0 is the lowest of its program
  bool windows = false;
};

struct Include {
  std::string header;  // as written
  bool angle = false;  // <...> rather than "..."
  int line = 0;
};

struct Source {
  const Layer* layer = nullptr;
  std::vector<Include> includes;
  std::vector<std::string> resolved;  // product files it includes
};

int g_errors = 0;

void Error(const std::string& text) {
  std::cerr << text << "\n";
  ++g_errors;
}

bool Below(const std::string& path, const std::string& folder) {
  return path.compare(0, folder.size() + 1, folder + "/") == 0;
}

std::vector<Layer> ReadTable(const fs::path& table) {
  std::ifstream in(table);
  if (!in) Error("cannot read " + table.string());
  std::vector<Layer> layers;
  std::string program;
  int rank = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string first;
    if (!(words >> first)) continue;
    if (first == "program") {
      words >> program;
      rank = 0;
      continue;
    }
    Layer layer{first, program, rank++, false};
    for (std::string word; words >> word;) {
      if (word == "windows") {
        layer.windows = true;
      } else {
        Error(table.string() + ": unknown word \"" + word + "\" in: " + line);
      }
    }
    if (program.empty())
      Error(table.string() + ": a folder before any program");
    layers.push_back(layer);
  }
  return layers;
}

// The layer of the longest folder that holds `path`.
const Layer* LayerOf(const std::vector<Layer>& layers,
                     const std::string& path) {
  const Layer* found = nullptr;
  for (const Layer& layer : layers) {
    if (Below(path, layer.folder) &&
        (found == nullptr || layer.folder.size() > found->folder.size())) {
      found = &layer;
    }
  }
  return found;
}

bool IsSource(const fs::path& path) {
  const std::string extension = path.extension().string();
  return extension == ".h" || extension == ".cpp" || extension == ".rc";
}

std::vector<Include> ReadIncludes(const fs::path& file) {
  static const std::regex kInclude(R"(^\s*#\s*include\s*([<"])([^">]+)[">])");
  std::ifstream in(file);
  std::vector<Include> includes;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::smatch match;
    if (std::regex_search(line, match, kInclude)) {
      includes.push_back(Include{match[2], match[1] == "<", number});
    }
  }
  return includes;
}

// What a quoted include names, as the compiler finds it: beside the file
// that includes it, else the one product file of that name. A header that
// is not in the tree is one the build generates (version.h,
// tessard_messages.h), included by the folder it is made for.
std::optional<std::string> Resolve(const std::map<std::string, Source>& sources,
                                   const std::string& from,
                                   const std::string& header,
                                   const std::string& where) {
  const std::string beside =
      fs::path(from).parent_path().append(header).lexically_normal().string();
  if (sources.count(beside)) return beside;
  std::vector<std::string> matches;
  for (const auto& [path, source] : sources) {
    const std::string tail = "/" + header;
    if (path.size() > tail.size() &&
        path.compare(path.size() - tail.size(), tail.size(), tail) == 0) {
      matches.push_back(path);
    }
  }
  if (matches.size() > 1) {
    std::string names;
    for (const std::string& match : matches) names += " " + match;
    Error(where + ": \"" + header + "\" could be any of" + names);
    return std::nullopt;
  }
  if (matches.empty()) return std::nullopt;
  return matches.front();
}

// Reports each circle of includes once, at the file where the walk met it.
void FindCircles(const std::map<std::string, Source>& sources,
                 const std::string& file, std::map<std::string, int>& state,
                 std::vector<std::string>& path) {
  state[file] = 1;  // on the walk's path
  path.push_back(file);
  for (const std::string& next : sources.at(file).resolved) {
    if (state[next] == 1) {
      std::string circle;
      for (auto it = std::find(path.begin(), path.end(), next);
           it != path.end(); ++it) {
        circle += *it + " -> ";
      }
      Error("includes in a circle: " + circle + next);
    } else if (state[next] == 0) {
      FindCircles(sources, next, state, path);
    }
  }
  path.pop_back();
  state[file] = 2;  // done
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: layering_check TABLE SOURCE_ROOT\n";
    return 2;
  }
  const fs::path root = argv[2];
  const std::vector<Layer> layers = ReadTable(argv[1]);

  // Every source below the top folders the table names.
  std::set<std::string> tops;
  for (const Layer& layer : layers) {
    tops.insert(layer.folder.substr(0, layer.folder.find('/')));
  }
  std::map<std::string, Source> sources;
  for (const std::string& top : tops) {
    if (!fs::is_directory(root / top)) {
      Error("no folder " + (root / top).string());
      continue;
    }
    for (const auto& entry : fs::recursive_directory_iterator(root / top)) {
      if (!entry.is_regular_file() || !IsSource(entry.path())) continue;
      const std::string path =
          entry.path().lexically_relative(root).generic_string();
      Source source;
      source.layer = LayerOf(layers, path);
      if (source.layer == nullptr) {
        Error(path + " is in no layer: add its folder to the table");
        continue;
      }
      source.includes = ReadIncludes(entry.path());
      sources[path] = source;
    }
  }

  int checked = 0;
  for (auto& [path, source] : sources) {
    const Layer& from = *source.layer;
    for (const Include& include : source.includes) {
      const std::string where = path + ":" + std::to_string(include.line);
      ++checked;
      if (include.angle) {
        if (!from.windows && fs::path(include.header).extension() == ".h") {
          Error(where + ": " + from.folder + " includes <" + include.header +
                ">, a Windows header");
        }
        continue;
      }
      const std::optional<std::string> header =
          Resolve(sources, path, include.header, where);
      if (!header) continue;
      const Layer& to = *sources.at(*header).layer;
      if (to.program != from.program) {
        Error(where + ": " + from.folder + " (" + from.program + ") includes " +
              *header + " of the " + to.program);
      } else if (to.rank > from.rank) {
        Error(where + ": " + from.folder + " includes " + *header +
              " of the higher layer " + to.folder);
      }
      source.resolved.push_back(*header);
    }
  }

  std::map<std::string, int> state;
  std::vector<std::string> path;
  for (const auto& [file, source] : sources) {
    if (state[file] == 0) FindCircles(sources, file, state, path);
  }

  if (sources.empty() || checked == 0) Error("no source or include was read");
  std::cout << sources.size() << " sources, " << checked << " includes, "
            << g_errors << " faults\n";
  return g_errors == 0 ? 0 : 1;
}
