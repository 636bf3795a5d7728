// Build-time generator of the manual pages and the bash completion. Everything comes from the
// program itself: the tool table (words, aliases, help rows) linked in, and each tool's syntax
// text as the built executable prints it for "help TOOL". So the pages cannot drift from the code.
//
//   qv_man_pages QORVELTOOLS OUTPUT_FOLDER DATADIR [TEMPLATE_NAME...]
//
// writes OUTPUT_FOLDER/qorveltools.1, OUTPUT_FOLDER/qorveltools-PAGE.1 for every tool and
// OUTPUT_FOLDER/qorveltools.bash-completion, each written whole under a temporary name and then
// renamed. DATADIR is the data folder of the install prefix, named in the FILES sections.
#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "app/dispatcher.h"
#include "base/banner.h"
#include "base/files.h"
#include "base/text.h"
#include "makepano/makepano_tool.h"
#include "makepano/pano_settings.h"

namespace {

constexpr char kSyntaxError[] =
    "usage: qv_man_pages QORVELTOOLS OUTPUT_FOLDER DATADIR [TEMPLATE_NAME...]\n";
constexpr char kRunFailed[] = "qv_man_pages: running %s failed\n";
constexpr char kWriteFailed[] = "qv_man_pages: writing %s failed\n";

struct Generator {
  std::string program;                  // the built executable
  std::string output_folder;            // with a trailing slash
  std::string data_folder;              // DATADIR/qorveltools
  std::vector<std::string> templates;   // names of the stock configs and templates
  const ToolRow* tools = nullptr;
  size_t tool_count = 0;
};

// Standard output of the program run with arguments (each a plain word); false when it could
// not be run, failed or printed nothing (help and the banner exit with 0).
bool capture_output(const Generator& generator, const std::string& arguments, std::string* out) {
  const std::string command =
      quote_for_command_line(generator.program) + " " + arguments + " < /dev/null 2> /dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  char buffer[4096];
  size_t got = 0;
  out->clear();
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out->append(buffer, got);
  const int status = pclose(pipe);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && !out->empty();
}

// Whether the dash at text[i] starts an option word ("-config", "--help"): roff then prints a
// minus sign that can be copied into a shell.
bool starts_option(const std::string& text, size_t i) {
  const char before = i == 0 ? ' ' : text[i - 1];
  const bool after_word_start = before == ' ' || before == '\'' || before == '/' ||
                                before == '(' || before == '[' || before == '-' || before == '"';
  const char after = i + 1 < text.size() ? text[i + 1] : ' ';
  const bool before_word = (after >= 'a' && after <= 'z') || (after >= 'A' && after <= 'Z') ||
                           (after >= '0' && after <= '9') || after == '-';
  return after_word_start && before_word;
}

// One line of text for roff: backslashes and option dashes escaped, trailing blanks dropped, a
// leading control character neutralised.
std::string roff_line(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.pop_back();
  }
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-' && starts_option(text, i)) {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
  return out;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      if (start < text.size()) lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Paragraphs (separated by empty lines) as filled roff text, the first one right after a
// section heading.
std::string roff_paragraphs(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\n\n", start);
    if (end == std::string::npos) end = text.size();
    if (start > 0) out += ".PP\n";
    out += roff_line(text.substr(start, end - start)) + "\n";
    start = end + 2;
  }
  return out;
}

// Text quoted line for line, without filling.
std::string roff_literal(const std::string& text) {
  std::vector<std::string> lines = split_lines(text);
  while (!lines.empty() && roff_line(lines.front()).empty()) lines.erase(lines.begin());
  while (!lines.empty() && roff_line(lines.back()).empty()) lines.pop_back();
  std::string out = ".PP\n.nf\n";
  for (const std::string& line : lines) out += roff_line(line) + "\n";
  return out + ".fi\n";
}

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The command line of a syntax text: the line after "syntax:" (or the next non-empty one),
// beginning with the program name.
std::string synopsis_of(const std::string& usage, const char* page) {
  const std::vector<std::string> lines = split_lines(usage);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string line = trimmed(lines[i]);
    if (lowered_ascii(line.substr(0, 7)) != "syntax:") continue;
    std::string rest = trimmed(line.substr(7));
    for (size_t j = i + 1; rest.empty() && j < lines.size(); ++j) rest = trimmed(lines[j]);
    if (rest.compare(0, 12, "qorveltools ") != 0) rest = "qorveltools " + rest;
    return rest;
  }
  return std::string("qorveltools ") + page + " [TOOLPARAMETERS]";
}

std::string page_header(const std::string& name, const char* summary) {
  std::string out = ".\\\" Generated at build time from the program's tool table and syntax texts.\n";
  out += ".TH " + roff_line(upper(name)) + " 1 " + roff_line(kBuildDate) + " \"" +
         roff_line(std::string(kProductName) + " " + kProductVersion) + "\" \"" + kProductName +
         " manual\"\n";
  out += ".SH NAME\n" + roff_line(name) + " \\- " + roff_line(summary) + "\n";
  return out;
}

std::string files_section(const Generator& generator) {
  std::string out = ".SH FILES\n";
  out += "Stock configs, templates and the browser viewer script named by a relative path are "
         "looked for in these places, in order; the first match wins:\n";
  out += ".IP 1. 4\nthe folder of the executable, and its\n.I templates\nsubfolder;\n";
  out += ".IP 2. 4\n.I ../share/qorveltools\nand its\n.I templates\nsubfolder, relative to the "
         "real folder of the executable (symbolic links followed), so that any install prefix "
         "works and an unpacked package can be moved;\n";
  out += ".IP 3. 4\n.I " + roff_line(generator.data_folder) + "\nand its\n.I templates\n"
         "subfolder.\n";
  out += ".PP\nThe stock files, under the install prefix (/usr for the Debian package, the "
         "prefix given to cmake \\-\\-install otherwise):\n";
  for (const std::string& name : generator.templates) {
    out += ".TP\n.I " + roff_line("share/qorveltools/templates/" + name) + "\n";
    out += name.size() > 7 && name.compare(name.size() - 7, 7, ".config") == 0
               ? "a makepano config\n"
               : "a template read by the stock configs\n";
  }
  out += ".TP\n.I share/qorveltools/viewer.js\n";
  out += "the browser viewer script that makepano copies beside each page\n";
  return out;
}

std::string see_also(const Generator& generator, const char* this_page) {
  std::vector<std::string> names;
  if (this_page) names.push_back("qorveltools");
  for (size_t i = 0; i < generator.tool_count; ++i) {
    const ToolHelp* help = generator.tools[i].help;
    if (help && (!this_page || std::string(help->page) != this_page)) {
      names.push_back(std::string("qorveltools-") + help->page);
    }
  }
  std::string out = ".SH SEE ALSO\n";
  for (size_t i = 0; i < names.size(); ++i) {
    out += ".BR " + roff_line(names[i]) + " (1)" + (i + 1 < names.size() ? "," : "") + "\n";
  }
  return out;
}

// The tour builder takes every config key as an option too: the keys of its table with the
// defaults it starts from.
bool takes_config_keys(const ToolRow& row) {
  return row.with_console == makepano_main;
}

std::string settings_section() {
  size_t count = 0;
  const SettingKey* keys = pano_setting_keys(&count);
  std::string out = ".SH SETTINGS\nEvery key of a config file is also an option,\n.BI \\- key = value\n"
                    "on the command line, where it overrides the config. The keys and the "
                    "defaults they start from (empty: none):\n.PP\n.nf\n";
  for (size_t i = 0; i < count; ++i) {
    out += roff_line(std::string(keys[i].key) + "=" +
                     (keys[i].default_text ? keys[i].default_text : "")) + "\n";
  }
  return out + ".fi\n";
}

std::string tool_page(const Generator& generator, const ToolRow& row, const std::string& usage) {
  const ToolHelp& help = *row.help;
  const std::string name = std::string("qorveltools-") + help.page;
  std::string out = page_header(name, help.summary);
  out += ".SH SYNOPSIS\n" + roff_line(synopsis_of(usage, help.page)) + "\n.br\n";
  out += roff_line(std::string("qorveltools help ") + help.page) + "\n.br\n";
  out += roff_line(std::string("qorveltools ") + help.page + " --help") + "\n";
  out += ".SH DESCRIPTION\n" + roff_paragraphs(help.description);
  std::string aliases;
  for (const char* const* word = row.words; *word; ++word) {
    if (std::string(*word) == help.page) continue;
    aliases += std::string(aliases.empty() ? "" : ", ") + *word;
  }
  out += ".PP\nThe tool word may be written in any case and with one leading dash";
  out += aliases.empty() ? std::string(".\n") : "; " + roff_line(aliases) + " select the same tool.\n";
  out += ".SH OPTIONS\nThe tool's own syntax text, with every option, its meaning and its "
         "default:\n" + roff_literal(usage);
  if (takes_config_keys(row)) out += settings_section();
  if (help.examples[0]) {
    out += ".SH EXAMPLES\n";
    for (const char* const* example = help.examples; *example; ++example) {
      const std::string text = *example;
      const size_t bar = text.find('|');
      out += ".TP\n.B " + roff_line(text.substr(0, bar)) + "\n";
      if (bar != std::string::npos) out += roff_line(text.substr(bar + 1)) + "\n";
    }
  }
  out += ".SH EXIT STATUS\n0 on success, and for\n.B help\nand\n.BR \\-\\-help ;\n"
         "1 on a usage, argument or input error and when an output could not be made.\n";
  out += files_section(generator);
  return out + see_also(generator, help.page);
}

std::string main_page(const Generator& generator, const std::string& usage) {
  std::string out = page_header(kProductName, "turn panorama photographs into web virtual tours");
  out += ".SH SYNOPSIS\nqorveltools TOOL [TOOLPARAMETERS]\n.br\nqorveltools help TOOL\n.br\n"
         "qorveltools TOOL \\-\\-help\n.br\nqorveltools \\-\\-version\n";
  out += ".SH DESCRIPTION\n"
         "One executable carries every tool: its first argument names the tool, the remaining "
         "arguments belong to that tool. The tools convert spherical and cylindrical panoramas "
         "into cube faces, strips and views and cube faces back into spheres, cut, merge and "
         "resize images, render smooth previews, and build complete web tours with a tile "
         "pyramid, an XML scene description, an HTML page and a browser viewer.\n";
  out += ".PP\nWithout a known tool word the program prints its banner and this usage text:\n";
  out += roff_literal(usage);
  out += ".SH TOOLS\n";
  for (size_t i = 0; i < generator.tool_count; ++i) {
    const ToolRow& row = generator.tools[i];
    if (!row.help) continue;
    std::string words;
    for (const char* const* word = row.words; *word; ++word) {
      words += std::string(words.empty() ? "" : ", ") + *word;
    }
    out += ".TP\n.B " + roff_line(words) + "\n" + roff_line(row.help->summary) + "; see\n";
    out += ".BR " + roff_line(std::string("qorveltools-") + row.help->page) + " (1).\n";
  }
  out += ".SH OPTIONS\n.TP\n.B \\-\\-version\nprints the version line and exits with 0.\n";
  out += ".TP\n.BI help \" TOOL\"\nprints the syntax text of a tool and exits with 0.\n";
  out += ".SH ENVIRONMENT\n.TP\n.B QV_THREADS\nthe number of threads the tools use (default: "
         "the usable cores); the output is the same for any number.\n";
  out += ".SH EXIT STATUS\nThe exit status of the tool; 0 for the banner, the version line and "
         "help.\n";
  out += files_section(generator);
  return out + see_also(generator, nullptr);
}

// The option words of a syntax text: "-word" or "-word=" wherever a word begins with a dash.
std::vector<std::string> option_words(const std::string& usage) {
  std::set<std::string> seen;
  std::vector<std::string> words;
  for (size_t i = 0; i < usage.size(); ++i) {
    if (usage[i] != '-' || !starts_option(usage, i) || (i > 0 && usage[i - 1] == '-')) continue;
    size_t end = i + 1;
    while (end < usage.size() && ((usage[end] >= 'a' && usage[end] <= 'z') ||
                                  (usage[end] >= '0' && usage[end] <= '9'))) {
      ++end;
    }
    if (end == i + 1 || usage[i + 1] < 'a' || usage[i + 1] > 'z') continue;
    std::string word = usage.substr(i, end - i);
    if (end < usage.size() && usage[end] == '=') word += '=';
    if (seen.insert(word).second) words.push_back(word);
  }
  return words;
}

std::string completion_script(const Generator& generator,
                              const std::vector<std::string>& usages) {
  std::string first_words = "help --version";
  std::string cases;
  for (size_t i = 0; i < generator.tool_count; ++i) {
    const ToolRow& row = generator.tools[i];
    if (!row.help) continue;
    first_words += std::string(" ") + row.help->page;
    std::string pattern;
    for (const char* const* word = row.words; *word; ++word) {
      pattern += std::string(pattern.empty() ? "" : "|") + *word;
    }
    std::string options = "--help";
    std::vector<std::string> words = option_words(usages[i]);
    if (takes_config_keys(row)) {
      size_t count = 0;
      const SettingKey* keys = pano_setting_keys(&count);
      for (size_t k = 0; k < count; ++k) words.push_back(std::string("-") + keys[k].key + "=");
      words.push_back("-verbose");
    }
    std::set<std::string> seen;
    for (const std::string& word : words) {
      if (seen.insert(word).second) options += " " + word;
    }
    cases += "    " + pattern + ") options=\"" + options + "\" ;;\n";
  }
  std::string out =
      "# bash completion for qorveltools: tool words, each tool's options and file names.\n"
      "# Generated at build time from the program's tool table and syntax texts.\n"
      "_qorveltools() {\n"
      "  local line=${COMP_LINE:0:$COMP_POINT}\n"
      "  local cur=${line##*[[:space:]]}\n"
      "  COMPREPLY=()\n"
      "  if [ \"$COMP_CWORD\" -le 1 ]; then\n"
      "    COMPREPLY=($(compgen -W \"" + first_words + "\" -- \"$cur\"))\n"
      "    return\n"
      "  fi\n"
      "  local tool=${COMP_WORDS[1],,}\n"
      "  tool=${tool#-}\n"
      "  if [ \"$tool\" = help ]; then\n"
      "    [ \"$COMP_CWORD\" -eq 2 ] && COMPREPLY=($(compgen -W \"" + first_words.substr(15) +
      "\" -- \"$cur\"))\n"
      "    return\n"
      "  fi\n"
      "  local options=\"\"\n"
      "  case $tool in\n" + cases +
      "  esac\n"
      "  case $cur in\n"
      "    -*=*)\n"
      "      # A file name after \"=\": bash splits the word there when \"=\" is a word break.\n"
      "      local value=${cur#*=} prefix=\"\"\n"
      "      [[ $COMP_WORDBREAKS == *=* ]] || prefix=${cur%%=*}=\n"
      "      compopt -o filenames 2> /dev/null\n"
      "      COMPREPLY=($(compgen -f -- \"$value\"))\n"
      "      [ -n \"$prefix\" ] && COMPREPLY=(\"${COMPREPLY[@]/#/$prefix}\")\n"
      "      ;;\n"
      "    -*)\n"
      "      COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      "      [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2> /dev/null\n"
      "      ;;\n"
      "    *)\n"
      "      compopt -o filenames 2> /dev/null\n"
      "      COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      "      ;;\n"
      "  esac\n"
      "}\n"
      "complete -F _qorveltools qorveltools\n";
  return out;
}

// Writes a file whole: under a temporary name beside it, then renamed over it.
bool write_output(const Generator& generator, const std::string& name, const std::string& text) {
  const std::string path = generator.output_folder + name;
  const std::string temporary = path + ".tmp";
  if (write_whole_file(temporary, text) && rename_file(temporary, path)) return true;
  delete_file(temporary);
  fprintf(stderr, kWriteFailed, path.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fputs(kSyntaxError, stderr);
    return 1;
  }
  Generator generator;
  generator.program = argv[1];
  generator.output_folder = std::string(argv[2]) + "/";
  generator.data_folder = std::string(argv[3]) + "/" + kProductName;
  for (int i = 4; i < argc; ++i) generator.templates.push_back(argv[i]);
  generator.tools = tool_table(&generator.tool_count);

  std::string main_usage;
  if (!capture_output(generator, "", &main_usage)) {
    fprintf(stderr, kRunFailed, generator.program.c_str());
    return 1;
  }
  // The banner line before the usage belongs to no page.
  const size_t usage_start = main_usage.find("\nSyntax:");
  if (usage_start != std::string::npos) main_usage = main_usage.substr(usage_start);
  bool ok = write_output(generator, "qorveltools.1", main_page(generator, main_usage));

  std::vector<std::string> usages(generator.tool_count);
  for (size_t i = 0; i < generator.tool_count; ++i) {
    const ToolRow& row = generator.tools[i];
    if (!row.help) continue;
    if (!capture_output(generator, std::string("help ") + row.help->page, &usages[i])) {
      fprintf(stderr, kRunFailed, generator.program.c_str());
      return 1;
    }
    const std::string name = std::string("qorveltools-") + row.help->page + ".1";
    ok = write_output(generator, name, tool_page(generator, row, usages[i])) && ok;
  }
  ok = write_output(generator, "qorveltools.bash-completion", completion_script(generator, usages)) &&
       ok;
  return ok ? 0 : 1;
}
