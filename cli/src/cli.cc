#include "vek_guard_cli/cli.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <CLI/CLI.hpp>

#include "vek_guard/coding.h"
#include "vek_guard/policy.h"
#include "vek_guard/version.h"
#include "vek_guard_cli/display_text.h"
#include "vek_guard_cli/option_values.h"

namespace vek_guard::cli {

// ---------------------------------------------------------------------------
// The command-line definition
// ---------------------------------------------------------------------------

namespace {

constexpr std::string_view kObserveAbout =
    "Observe OS-accounted footprint without memory intervention";
constexpr std::string_view kRunAbout = "Enforce an explicit OS-accounted footprint limit";
constexpr std::string_view kHelpAbout = "Print this message or the help of the given subcommand(s)";
constexpr std::string_view kCommandArgument = "<COMMAND>...";
constexpr std::string_view kCommandHelp =
    "Literal executable and arguments. The `--` separator is mandatory";
constexpr std::string_view kSeparator = "--";
// Help lines longer than this move each option's text onto its own line.
constexpr std::size_t kHelpWidth = 100;

// CLI11 reports through exceptions and gives option callbacks no other way to
// stop a parse at the offending word, so the callbacks throw this, carrying
// the finished text, and RawCli::parse turns it back into a value. It never
// leaves this file.
struct ParseStop {
  CliParseError error;
};

// The plain error layout: an "error: " line, an optional tip, an optional
// usage line, and the pointer to --help.
std::string render_error(std::string_view message, std::string_view tip, std::string_view usage) {
  std::string text = "error: ";
  text += message;
  text += '\n';
  if (!tip.empty()) {
    text += "\n  tip: ";
    text += tip;
    text += '\n';
  }
  if (!usage.empty()) {
    text += "\nUsage: ";
    text += usage;
    text += '\n';
  }
  text += "\nFor more information, try '--help'.\n";
  return text;
}

CliParseError failure(std::string message) { return CliParseError{std::move(message), false}; }

std::string in_quotes(std::string_view text) {
  std::string out = "'";
  out += text;
  out += '\'';
  return out;
}

// How an option with a value is declared: its long name, value name, help
// text, default (empty when none) and what its value must be.
struct ValueSpec {
  std::string_view name;
  std::string_view value_name;
  std::string_view help;
  std::string_view default_text = {};
  bool required = false;
  // Only --env may be given more than once.
  bool repeatable = false;
  // Paths are operating-system strings; every other value must be UTF-8.
  bool requires_utf8 = true;
  // An empty path names nothing; the empty string is refused up front.
  bool refuses_empty = false;
};

template <class T>
using ValueParser = Result<T, std::string> (*)(std::string_view);

Result<std::string, std::string> keep_text(std::string_view text) { return std::string(text); }

// The definition of the whole command line, bound to the records that the
// option callbacks fill. CLI::App can be neither copied nor moved and the
// callbacks point back into this object, so it lives on the stack of one
// parse.
class Definition {
 public:
  explicit Definition(std::string program);
  Definition(const Definition&) = delete;
  Definition& operator=(const Definition&) = delete;

  // Parses the words before the first `--` (`head`) and takes `command` as
  // the words after it.
  Result<RawCli, CliParseError> parse(std::span<const std::string> head,
                                      std::span<const std::string> command);

  std::string help(const CLI::App& app) const;
  const CLI::App& root() const { return root_; }

 private:
  void add_common(CLI::App& app, RawCommon& common);
  void add_help_flag(CLI::App& app);
  void add_flag(CLI::App& app, std::string_view names, std::string_view help,
                std::function<void()> on_set);
  template <class T, class Store>
  void add_value(CLI::App& app, const ValueSpec& spec, ValueParser<T> parser, Store store);

  Result<RawCli, CliParseError> finish(std::span<const std::string> command,
                                       const std::optional<std::string>& unreported);
  std::optional<CliParseError> stray_word() const;
  CliParseError help_request(std::span<const std::string> extra_topics) const;
  std::optional<CliParseError> missing_arguments(const CLI::App& app, bool has_command) const;
  std::optional<CliParseError> missing_value(std::span<const std::string> head) const;

  const CLI::App* selected() const;
  const CLI::App& current() const;
  bool takes_command(const CLI::App& app) const { return &app == observe_ || &app == run_; }
  std::string path(const CLI::App& app) const;
  std::string usage(const CLI::App& app) const;

  // Whether the value just handed to an option callback was a word of its
  // own ("--cwd x") rather than written into the option ("--cwd=x").
  bool value_was_separate_word(std::string_view option_name) const;

  std::string program_;
  // The words being parsed, as CLI11 consumes them from the back, and how
  // many there were; together they tell which word a callback is looking at.
  const std::vector<std::string>* unparsed_ = nullptr;
  std::span<const std::string> head_;
  CLI::App root_;
  CLI::App* observe_ = nullptr;
  CLI::App* run_ = nullptr;
  CLI::App* help_ = nullptr;
  RawObserve observe_values_;
  RawRun run_values_;
  std::vector<std::string> help_topics_;
  // Options whose default text still has to go through their value parser
  // when they are absent, as given values do.
  struct Default {
    const CLI::App* owner;
    const CLI::Option* option;
    std::function<void()> apply;
  };
  std::vector<Default> defaults_;
};

// "--report <PATH>", "--clear-env", "-h, --help": how messages and help name
// an option.
std::string option_display(const CLI::Option& option) {
  std::string text;
  for (const std::string& name : option.get_snames()) {
    text += '-';
    text += name;
    text += ", ";
  }
  text += "--";
  text += option.get_lnames().front();
  if (option.get_expected_max() != 0) {
    text += " <";
    text += option.get_type_name();
    text += '>';
  }
  return text;
}

std::string value_display(const ValueSpec& spec) {
  std::string text(spec.name);
  text += " <";
  text += spec.value_name;
  text += '>';
  return text;
}

Definition::Definition(std::string program)
    : program_(std::move(program)), root_(std::string(kProgramAbout), std::string(kProgramName)) {
  // CLI11's own help flag would be copied into every subcommand and
  // processed only after all values; ours stops the parse where it appears.
  root_.set_help_flag();
  root_.allow_extras();
  observe_ = root_.add_subcommand("observe", std::string(kObserveAbout));
  run_ = root_.add_subcommand("run", std::string(kRunAbout));
  help_ = root_.add_subcommand("help", std::string(kHelpAbout));
  root_.require_subcommand(1);

  // `run`'s own options come first so that its help lists them first.
  add_value<uint64_t>(*run_,
                      {.name = "--max-footprint",
                       .value_name = "MAX_FOOTPRINT_BYTES",
                       .help = "Required sampled intervention threshold",
                       .required = true},
                      parse_max_footprint,
                      [this](uint64_t bytes) { run_values_.max_footprint_bytes = bytes; });
  add_value<Duration>(*run_,
                      {.name = "--wall-time",
                       .value_name = "WALL_TIME",
                       .help = "Optional wall-time intervention threshold, capped at 30 days"},
                      parse_wall_time, [this](Duration d) { run_values_.wall_time = d; });
  add_value<Duration>(
      *run_,
      {.name = "--checkpoint-timeout",
       .value_name = "CHECKPOINT_TIMEOUT",
       .help = "Cooperative checkpoint acknowledgement timeout (10ms..=60s, default 1s)"},
      parse_checkpoint_timeout, [this](Duration d) { run_values_.checkpoint_timeout = d; });
  add_common(*observe_, observe_values_.common);
  add_common(*run_, run_values_.common);
  for (CLI::App* app : {observe_, run_}) {
    app->allow_extras();
    app->require_subcommand(0, 0);
    add_help_flag(*app);
  }
  help_->allow_extras();
  help_->require_subcommand(0, 0);
  help_->add_option("COMMAND", help_topics_, "Print help for the subcommand(s)");

  add_help_flag(root_);
  add_flag(root_, "-V,--version", "Print version", [] {
    std::string text(kProgramName);
    text += ' ';
    text += kPackageVersion;
    text += '\n';
    throw ParseStop{CliParseError{std::move(text), true}};
  });
}

void Definition::add_common(CLI::App& app, RawCommon& common) {
  add_value<Duration>(app,
                      {.name = "--sample-interval",
                       .value_name = "SAMPLE_INTERVAL",
                       .help = "Interval between sampling-loop starts (10ms..=10s)",
                       .default_text = "50ms"},
                      parse_sample_interval, [&common](Duration d) { common.sample_interval = d; });
  add_value<std::string>(app,
                         {.name = "--report",
                          .value_name = "PATH",
                          .help = "Final JSON report path in an existing owner-only directory",
                          .required = true,
                          .requires_utf8 = false,
                          .refuses_empty = true},
                         keep_text,
                         [&common](std::string path) { common.report_path = std::move(path); });
  add_value<std::string>(app,
                         {.name = "--cwd",
                          .value_name = "CWD",
                          .help = "Child working directory, validated before launch",
                          .requires_utf8 = false,
                          .refuses_empty = true},
                         keep_text, [&common](std::string path) { common.cwd = std::move(path); });
  add_flag(app, "--clear-env", "Start the child with no inherited environment",
           [&common] { common.clear_env = true; });
  add_value<std::string>(
      app,
      {.name = "--env",
       .value_name = "KEY=VALUE",
       .help = "Set one UTF-8 child environment value; duplicate keys are invalid",
       .repeatable = true},
      keep_text, [&common](std::string entry) { common.env.push_back(std::move(entry)); });
  add_value<int32_t>(app,
                     {.name = "--client-ready-fd",
                      .value_name = "CLIENT_READY_FD",
                      .help = "Internal Python-client readiness descriptor. The invoking client "
                              "transfers ownership"},
                     parse_client_ready_fd, [&common](int32_t fd) { common.client_ready_fd = fd; });
  add_value<OnParentExit>(
      app,
      {.name = "--on-parent-exit",
       .value_name = "ON_PARENT_EXIT",
       .help = "What the supervisor does when its launching parent exits (terminate | detach)",
       .default_text = "terminate"},
      parse_on_parent_exit, [&common](OnParentExit choice) { common.on_parent_exit = choice; });
}

void Definition::add_help_flag(CLI::App& app) {
  const CLI::App* owner = &app;
  add_flag(app, "-h,--help", "Print help", [this, owner] {
    throw ParseStop{CliParseError{help(*owner), true}};
  });
}

void Definition::add_flag(CLI::App& app, std::string_view names, std::string_view help,
                          std::function<void()> on_set) {
  const CLI::App* owner = &app;
  // Messages name a flag by its long form, the part after the last comma.
  const std::string long_name(names.substr(names.rfind(',') + 1));
  auto seen = std::make_shared<bool>(false);
  CLI::Option* option = app.add_option(
      std::string(names),
      [this, owner, long_name, seen, on_set = std::move(on_set)](const CLI::results_t& results) {
        // CLI11 hands a flag "true" when it stands alone and the text after
        // "=" otherwise; our flags take no value.
        const std::string given = results.empty() ? std::string() : results.back();
        if (!given.empty() && given != "true") {
          throw ParseStop{
              failure(render_error("unexpected value " + in_quotes(lossy_utf8(given)) + " for " +
                                       in_quotes(long_name) + " found; no more were expected",
                                   "", usage(*owner)))};
        }
        if (*seen) {
          throw ParseStop{failure(render_error(
              "the argument " + in_quotes(long_name) + " cannot be used multiple times", "",
              usage(*owner)))};
        }
        *seen = true;
        on_set();
        return true;
      },
      std::string(help));
  option->expected(0)->trigger_on_parse();
}

template <class T, class Store>
void Definition::add_value(CLI::App& app, const ValueSpec& spec, ValueParser<T> parser,
                           Store store) {
  const CLI::App* owner = &app;
  auto seen = std::make_shared<bool>(false);
  CLI::Option* option = app.add_option(
      std::string(spec.name),
      [this, owner, spec, parser, store, seen](const CLI::results_t& results) -> bool {
        const std::string text = results.empty() ? std::string() : results.back();
        if (*seen && !spec.repeatable) {
          throw ParseStop{failure(render_error(
              "the argument " + in_quotes(value_display(spec)) + " cannot be used multiple times",
              "", usage(*owner)))};
        }
        *seen = true;
        if (spec.requires_utf8 && !is_valid_utf8(text)) {
          throw ParseStop{failure(render_error(kInvalidUtf8Message, "", usage(*owner)))};
        }
        // CLI11 takes whatever word follows an option as its value; a word
        // that reads as another long option is almost always a forgotten
        // value ("--report --clear-env"), so it is refused as one.
        if ((spec.refuses_empty && text.empty()) ||
            (text.starts_with("--") && value_was_separate_word(spec.name))) {
          throw ParseStop{
              failure(render_error("a value is required for " + in_quotes(value_display(spec)) +
                                       " but none was supplied",
                                   "", ""))};
        }
        Result<T, std::string> value = parser(text);
        if (!value) {
          throw ParseStop{
              failure(render_error("invalid value " + in_quotes(lossy_utf8(text)) + " for " +
                                       in_quotes(value_display(spec)) + ": " + value.error(),
                                   "", ""))};
        }
        store(std::move(*value));
        return true;
      },
      std::string(spec.help));
  option->type_name(std::string(spec.value_name))->trigger_on_parse();
  if (spec.required) option->required();
  if (!spec.default_text.empty()) {
    option->default_str(std::string(spec.default_text));
    defaults_.push_back({owner, option, [spec, parser, store] {
                           Result<T, std::string> value = parser(spec.default_text);
                           if (value) store(std::move(*value));
                         }});
  }
}

Result<RawCli, CliParseError> Definition::parse(std::span<const std::string> head,
                                                std::span<const std::string> command) {
  // CLI11 consumes its vector from the back.
  std::vector<std::string> reversed(head.rbegin(), head.rend());
  unparsed_ = &reversed;
  head_ = head;
  std::optional<std::string> unreported;
  try {
    root_.parse(reversed);
  } catch (const ParseStop& stop) {
    return unexpected(stop.error);
  } catch (const CLI::RequiredError& error) {
    // finish() names every missing argument at once, after any stray word,
    // which CLI11 would only have looked at after its requirements.
    unreported = error.what();
  } catch (const CLI::ArgumentMismatch& error) {
    if (std::optional<CliParseError> missing = missing_value(head)) return unexpected(*missing);
    return unexpected(failure(render_error(error.what(), "", usage(current()))));
  } catch (const CLI::Error& error) {
    return unexpected(failure(render_error(error.what(), "", usage(current()))));
  }
  return finish(command, unreported);
}

Result<RawCli, CliParseError> Definition::finish(std::span<const std::string> command,
                                                 const std::optional<std::string>& unreported) {
  if (std::optional<CliParseError> stray = stray_word()) return unexpected(*stray);
  const CLI::App* chosen = selected();
  if (chosen == nullptr) {
    std::string message = in_quotes(program_) + " requires a subcommand but one was not provided\n";
    message += "  [subcommands: ";
    message += observe_->get_name() + ", " + run_->get_name() + ", " + help_->get_name() + "]";
    return unexpected(failure(render_error(message, "", usage(root_))));
  }
  if (chosen == help_) return unexpected(help_request(command));
  if (std::optional<CliParseError> missing = missing_arguments(*chosen, !command.empty())) {
    return unexpected(*missing);
  }
  if (unreported) return unexpected(failure(render_error(*unreported, "", usage(*chosen))));

  for (const Default& entry : defaults_) {
    if (entry.owner == chosen && entry.option->count() == 0) entry.apply();
  }
  if (chosen == run_) {
    run_values_.common.command.assign(command.begin(), command.end());
    return RawCli{run_values_};
  }
  observe_values_.common.command.assign(command.begin(), command.end());
  return RawCli{observe_values_};
}

std::optional<CliParseError> Definition::stray_word() const {
  const std::vector<std::string> top = root_.remaining(false);
  if (!top.empty()) {
    const std::string word = lossy_utf8(top.front());
    const std::string message = word.starts_with('-')
                                    ? "unexpected argument " + in_quotes(word) + " found"
                                    : "unrecognized subcommand " + in_quotes(word);
    return failure(render_error(message, "", usage(root_)));
  }
  const CLI::App* chosen = selected();
  if (chosen == nullptr) return std::nullopt;
  const std::vector<std::string> words = chosen->remaining(false);
  if (words.empty()) return std::nullopt;
  const std::string word = lossy_utf8(words.front());
  std::string tip;
  if (takes_command(*chosen))
    tip = "to pass " + in_quotes(word) + " as a value, use '-- " + word + "'";
  return failure(
      render_error("unexpected argument " + in_quotes(word) + " found", tip, usage(*chosen)));
}

CliParseError Definition::help_request(std::span<const std::string> extra_topics) const {
  std::vector<std::string> topics = help_topics_;
  topics.insert(topics.end(), extra_topics.begin(), extra_topics.end());
  const CLI::App* target = &root_;
  for (const std::string& topic : topics) {
    const CLI::App* next = nullptr;
    if (target == &root_) {
      for (const CLI::App* candidate : {observe_, run_, help_}) {
        if (candidate->get_name() == topic) next = candidate;
      }
    }
    if (next == nullptr) {
      return failure(render_error("unrecognized subcommand " + in_quotes(lossy_utf8(topic)), "",
                                  usage(*target)));
    }
    target = next;
  }
  return CliParseError{help(*target), true};
}

std::optional<CliParseError> Definition::missing_arguments(const CLI::App& app,
                                                           bool has_command) const {
  std::vector<std::string> names;
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_required() && option->count() == 0) names.push_back(option_display(*option));
  }
  if (takes_command(app) && !has_command) names.emplace_back(kCommandArgument);
  if (names.empty()) return std::nullopt;
  std::string message = "the following required arguments were not provided:";
  for (const std::string& name : names) message += "\n  " + name;
  return failure(render_error(message, "", usage(app)));
}

std::optional<CliParseError> Definition::missing_value(std::span<const std::string> head) const {
  // CLI11 takes whatever word follows an option as its value, so a value can
  // only be missing when the option is the last word before `--`.
  if (head.empty()) return std::nullopt;
  const std::string_view last = head.back();
  const std::string name(last.substr(0, last.find('=')));
  const CLI::Option* option = current().get_option_no_throw(name);
  if (option == nullptr || option->get_expected_max() == 0) return std::nullopt;
  return failure(render_error(
      "a value is required for " + in_quotes(option_display(*option)) + " but none was supplied",
      "", ""));
}

bool Definition::value_was_separate_word(std::string_view option_name) const {
  if (unparsed_ == nullptr || unparsed_->size() >= head_.size()) return false;
  const std::string_view last_consumed = head_[head_.size() - unparsed_->size() - 1];
  return !(last_consumed.starts_with(option_name) &&
           last_consumed.substr(option_name.size()).starts_with('='));
}

const CLI::App* Definition::selected() const {
  const std::vector<CLI::App*> chosen = root_.get_subcommands();
  return chosen.empty() ? nullptr : chosen.front();
}

const CLI::App& Definition::current() const {
  const CLI::App* chosen = selected();
  return chosen == nullptr ? root_ : *chosen;
}

std::string Definition::path(const CLI::App& app) const {
  if (&app == &root_) return program_;
  return program_ + " " + app.get_name();
}

std::string Definition::usage(const CLI::App& app) const {
  std::string text = path(app);
  if (&app == &root_) return text + " <COMMAND>";
  if (&app == help_) return text + " [COMMAND]...";
  bool has_optional = false;
  std::string required;
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_required()) {
      required += " " + option_display(*option);
    } else if (option->get_lnames().front() != "help") {
      has_optional = true;
    }
  }
  if (has_optional) text += " [OPTIONS]";
  text += required;
  if (takes_command(app)) {
    text += " -- ";
    text += kCommandArgument;
  }
  return text;
}

std::string Definition::help(const CLI::App& app) const {
  struct Row {
    std::string left;
    std::string help;
  };
  struct Section {
    std::string_view title;
    std::vector<Row> rows;
  };
  std::vector<Section> sections;
  if (&app == &root_) {
    Section commands{"Commands", {}};
    for (const CLI::App* sub : {observe_, run_, help_}) {
      commands.rows.push_back({sub->get_name(), sub->get_description()});
    }
    sections.push_back(std::move(commands));
  }
  Section arguments{"Arguments", {}};
  Section options{"Options", {}};
  if (takes_command(app))
    arguments.rows.push_back({std::string(kCommandArgument), std::string(kCommandHelp)});
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_positional()) {
      arguments.rows.push_back({"[" + option->get_name() + "]...", option->get_description()});
      continue;
    }
    // Long-only options line up their "--" with the long form after "-h, ".
    std::string left = option->get_snames().empty() ? "    " : "";
    left += option_display(*option);
    std::string text = option->get_description();
    if (!option->get_default_str().empty()) text += " [default: " + option->get_default_str() + "]";
    options.rows.push_back({std::move(left), std::move(text)});
  }
  if (!arguments.rows.empty()) sections.push_back(std::move(arguments));
  if (!options.rows.empty()) sections.push_back(std::move(options));

  // Each section lines up its own texts; one that would overflow the line
  // puts every text of the section on a line of its own instead.
  std::string text = app.get_description();
  text += "\n\nUsage: " + usage(app) + "\n";
  for (const Section& section : sections) {
    std::size_t width = 0;
    for (const Row& row : section.rows) width = std::max(width, row.left.size());
    bool next_line = false;
    for (const Row& row : section.rows) {
      if (2 + width + 2 + row.help.size() > kHelpWidth) next_line = true;
    }
    text += "\n";
    text += section.title;
    text += ":\n";
    for (std::size_t i = 0; i < section.rows.size(); ++i) {
      const Row& row = section.rows[i];
      if (next_line) {
        if (i > 0) text += "\n";
        text += "  " + row.left + "\n          " + row.help + "\n";
      } else {
        text +=
            "  " + row.left + std::string(width - row.left.size(), ' ') + "  " + row.help + "\n";
      }
    }
  }
  return text;
}

std::string program_name(std::span<const std::string> args) {
  if (args.empty()) return std::string(kProgramName);
  const std::string_view path = args.front();
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name.empty() ? std::string(kProgramName) : lossy_utf8(name);
}

}  // namespace

Result<RawCli, CliParseError> RawCli::parse(std::span<const std::string> args) {
  const std::string program = program_name(args);
  if (args.size() <= 1) return unexpected(failure(help(program)));
  std::size_t separator = 1;
  while (separator < args.size() && args[separator] != kSeparator) ++separator;
  const std::span<const std::string> head = args.subspan(1, separator - 1);
  const std::span<const std::string> command =
      separator < args.size() ? args.subspan(separator + 1) : std::span<const std::string>();
  Definition definition(program);
  return definition.parse(head, command);
}

std::string RawCli::help(std::string_view program) {
  Definition definition{std::string(program)};
  return definition.help(definition.root());
}

Result<void, CliParseError> check_max_footprint(uint64_t max_footprint_bytes) {
  if (max_footprint_bytes < 2) return unexpected(failure("--max-footprint must be at least 2B"));
  if (!footprint_band(max_footprint_bytes)) {
    return unexpected(failure("--max-footprint is too large for the emergency policy band"));
  }
  return {};
}

Result<NormalizedCommon, CliParseError> normalize(const RawCommon& raw) {
  if (raw.sample_interval < Duration::from_millis(10) ||
      raw.sample_interval > Duration::from_secs(10)) {
    return unexpected(failure("--sample-interval must be within 10ms..=10s"));
  }
  std::map<std::string, std::string> env;
  for (const std::string& entry : raw.env) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) return unexpected(failure("--env requires KEY=VALUE"));
    std::string key = entry.substr(0, equals);
    if (key.empty()) return unexpected(failure("--env key must not be empty"));
    if (env.contains(key)) return unexpected(failure("duplicate --env key " + quote_debug(key)));
    env.emplace(std::move(key), entry.substr(equals + 1));
  }
  NormalizedCommon common;
  common.sample_interval = raw.sample_interval;
  common.report_path = raw.report_path;
  common.cwd = raw.cwd;
  common.clear_env = raw.clear_env;
  common.env = std::move(env);
  common.client_ready_fd = raw.client_ready_fd;
  common.on_parent_exit = raw.on_parent_exit;
  common.command = raw.command;
  return common;
}

Result<NormalizedCommand, CliParseError> parse_command_line(std::span<const std::string> args) {
  Result<RawCli, CliParseError> raw = RawCli::parse(args);
  if (!raw) return unexpected(std::move(raw).error());
  if (const auto* run = std::get_if<RawRun>(&raw->command)) {
    if (Result<void, CliParseError> band = check_max_footprint(run->max_footprint_bytes); !band) {
      return unexpected(band.error());
    }
    Result<NormalizedCommon, CliParseError> common = normalize(run->common);
    if (!common) return unexpected(std::move(common).error());
    return NormalizedCommand{
        NormalizedRun{run->max_footprint_bytes, run->wall_time, run->checkpoint_timeout},
        std::move(*common)};
  }
  Result<NormalizedCommon, CliParseError> common =
      normalize(std::get<RawObserve>(raw->command).common);
  if (!common) return unexpected(std::move(common).error());
  return NormalizedCommand{std::nullopt, std::move(*common)};
}
}  // namespace vek_guard::cli
