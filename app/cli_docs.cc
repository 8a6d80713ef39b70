#include "app/cli_docs.h"

#include <sstream>
#include <vector>

namespace stow::app {

namespace {

using Apps = std::vector<const CLI::App*>;
using Opts = std::vector<const CLI::Option*>;

Apps Commands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

Opts Named(const CLI::App& app) {
  return app.get_options([](const CLI::Option* o) { return o->nonpositional(); });
}

Opts Positionals(const CLI::App& app) {
  return app.get_options(
      [](const CLI::Option* o) { return o->get_positional() && !o->nonpositional(); });
}

// "--store", or "-h, --help".
std::string Names(const CLI::Option& o) {
  std::string out;
  for (const auto& s : o.get_snames()) out += (out.empty() ? "-" : ", -") + s;
  for (const auto& l : o.get_lnames()) out += (out.empty() ? "--" : ", --") + l;
  return out;
}

bool TakesValue(const CLI::Option& o) {
  return o.get_type_size_max() > 0 && o.get_expected_max() > 0;
}

bool TakesDir(const CLI::Option& o) {
  return o.get_type_name() == "DIR";
}

// Text for roff: backslashes doubled as \e, a line starting with . or ' guarded,
// hyphens of option names kept as minus signs.
std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
    lineStart = c == '\n';
  }
  return out;
}

// "stowbright list FOLDER", "stowbright monitor add FOLDER".
std::string Synopsis(const CLI::App& app, const std::string& prefix) {
  std::string out = prefix + " " + app.get_name();
  for (const auto* p : Positionals(app)) {
    std::string name = p->get_name(true);
    bool many = p->get_expected_max() > 1;
    out += " " + std::string(p->get_required() ? "" : "[") + name + (many ? "..." : "") +
           (p->get_required() ? "" : "]");
  }
  return out;
}

void ManOptions(std::ostringstream& out, const CLI::App& app, bool top) {
  for (const auto* o : Named(app)) {
    // Every command takes --help; the page says so once.
    if (!top && (o->check_lname("help") || o->check_lname("help-all"))) continue;
    out << ".TP\n.B " << Roff(Names(*o));
    if (TakesValue(*o)) out << " \\fI" << Roff(o->get_type_name()) << "\\fR";
    out << "\n" << Roff(o->get_description()) << "\n";
  }
  for (const auto* p : Positionals(app))
    out << ".TP\n.I " << Roff(p->get_name(true)) << "\n" << Roff(p->get_description()) << "\n";
}

void ManCommand(std::ostringstream& out, const CLI::App& app, const std::string& prefix) {
  out << ".SS \"" << Roff(Synopsis(app, prefix)) << "\"\n" << Roff(app.get_description()) << "\n";
  ManOptions(out, app, false);
  // The exit status is said once, in its own section.
  std::string footer = app.get_footer();
  footer = footer.substr(0, footer.find("Exit status:"));
  while (!footer.empty() && footer.back() == '\n') footer.pop_back();
  if (!footer.empty()) out << ".PP\n" << Roff(footer) << "\n";
  for (const auto* sub : Commands(app)) ManCommand(out, *sub, prefix + " " + app.get_name());
}

// Words of a description up to its first full stop or semicolon, for a completion
// menu; characters the shell's syntax gives a meaning replaced.
std::string Short(const std::string& text, const std::string& unsafe) {
  std::string out = text.substr(0, text.find_first_of(";:("));
  for (char& c : out)
    if (unsafe.find(c) != std::string::npos) c = ' ';
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string Bash(const CLI::App& app) {
  std::ostringstream out;
  auto words = [](const CLI::App& a) {
    std::string w;
    for (const auto* o : Named(a))
      for (const auto& l : o->get_lnames()) w += " --" + l;
    for (const auto* sub : Commands(a)) w += " " + sub->get_name();
    return w;
  };
  std::string dirOptions, valueOptions;
  auto add = [](std::string& to, const std::string& name) { to += (to.empty() ? "" : "|") + name; };
  auto collect = [&](const CLI::App& a, auto& self) -> void {
    for (const auto* o : Named(a))
      for (const auto& l : o->get_lnames()) {
        if (TakesDir(*o)) add(dirOptions, "--" + l);
        if (TakesValue(*o)) add(valueOptions, "--" + l);
      }
    for (const auto* sub : Commands(a)) self(*sub, self);
  };
  collect(app, collect);
  out << "# bash completion for stowbright (made by `stowbright --generate bash`)\n"
      << "_stowbright() {\n"
      << "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd= i\n"
      << "  case $prev in\n    " << dirOptions
      << ") COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n  esac\n"
      << "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      << "    case ${COMP_WORDS[i-1]} in " << valueOptions << ") continue ;; esac\n"
      << "    case ${COMP_WORDS[i]} in -*) ;; *) cmd+=${cmd:+ }${COMP_WORDS[i]} ;; esac\n"
      << "  done\n  local words\n  case $cmd in\n";
  out << "    '') words='" << words(app) << "' ;;\n";
  for (const auto* sub : Commands(app)) {
    // The longer pattern first: "monitor add" before "monitor".
    for (const auto* subsub : Commands(*sub))
      out << "    '" << sub->get_name() << " " << subsub->get_name() << "'*) words='"
          << words(*subsub) << "' ;;\n";
    out << "    '" << sub->get_name() << "'*) words='" << words(*sub) << "' ;;\n";
  }
  out << "  esac\n  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n}\n"
      << "complete -o default -F _stowbright stowbright\n";
  return out.str();
}

std::string ZshArguments(const CLI::App& app) {
  std::string out;
  for (const auto* o : Named(app)) {
    for (const auto& l : o->get_lnames()) {
      out += " '--" + l + "[" + Short(o->get_description(), "[]':\\") + "]";
      if (TakesValue(*o))
        out += ":" + Short(o->get_type_name(), "[]':\\") + (TakesDir(*o) ? ":_files -/" : ":");
      out += "'";
    }
  }
  return out;
}

std::string Zsh(const CLI::App& app) {
  std::ostringstream out;
  auto menu = [](const CLI::App& a) {
    std::string m;
    for (const auto* sub : Commands(a))
      m += " '" + sub->get_name() + ":" + Short(sub->get_description(), "[]':\\") + "'";
    return m;
  };
  out << "#compdef stowbright\n# zsh completion for stowbright (made by `stowbright --generate "
         "zsh`)\n"
      << "_stowbright() {\n  local curcontext=$curcontext state line\n  local -a commands\n"
      << "  commands=(" << menu(app) << " )\n"
      << "  _arguments -C" << ZshArguments(app) << " '1:command:->command' '*::arg:->args'\n"
      << "  case $state in\n    command) _describe command commands ;;\n"
      << "    args)\n      case $line[1] in\n";
  for (const auto* sub : Commands(app)) {
    out << "        " << sub->get_name() << ")";
    if (Commands(*sub).empty()) {
      out << " _arguments" << ZshArguments(*sub) << " '*:item:_files' ;;\n";
    } else {
      out << "\n          local -a subcommands\n          subcommands=(" << menu(*sub)
          << " )\n          _describe command subcommands ;;\n";
    }
  }
  out << "      esac ;;\n  esac\n}\n_stowbright \"$@\"\n";
  return out.str();
}

}  // namespace

std::string ManPage(const CLI::App& app) {
  std::ostringstream out;
  out << ".TH STOWBRIGHT 1 \"\" \"stowbright\" \"User Commands\"\n"
      << ".SH NAME\nstowbright \\- keeps mailboxes small by detaching attachments into files\n"
      << ".SH SYNOPSIS\n.B stowbright\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]\n"
      << ".SH DESCRIPTION\n"
      << Roff(app.get_description()) << "\n.SH OPTIONS\n";
  ManOptions(out, app, true);
  out << ".SH COMMANDS\n";
  for (const auto* sub : Commands(app)) ManCommand(out, *sub, "stowbright");
  out << ".SH EXIT STATUS\n" << Roff(app.get_footer()) << "\n";
  return out.str();
}

std::string Completion(const CLI::App& app, const std::string& shell) {
  return shell == "zsh" ? Zsh(app) : Bash(app);
}

}  // namespace stow::app
