#include "cli/command_line.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "base/text_parse.h"

#ifndef ROMTIDE_VERSION
#error "ROMTIDE_VERSION comes from the build"
#endif

namespace romtide::cli {

namespace {

// The sub-command the command line reached.
CLI::App* deepest(CLI::App& app) {
    CLI::App* at = &app;
    for (std::vector<CLI::App*> chosen = at->get_subcommands(); !chosen.empty();
         chosen = at->get_subcommands()) {
        at = chosen.front();
    }
    return at;
}

// The command as typed: "bootloader can update".
std::string commandPath(CLI::App& app) {
    std::string path;
    for (CLI::App* at = deepest(app); at != nullptr; at = at->get_parent()) {
        path = path.empty() ? at->get_name() : at->get_name() + " " + path;
    }
    return path;
}

// What a command that needs a sub-command says when it got none (or an unknown one):
// "expects 'search' or 'update'".
std::string expectedSubcommands(CLI::App& at) {
    std::vector<CLI::App*> names = at.get_subcommands([](CLI::App*) { return true; });
    std::string text = "expects ";
    for (size_t i = 0; i < names.size(); ++i) {
        text += (i == 0                  ? ""
                 : i + 1 == names.size() ? " or "
                                         : ", ") +
                ("'" + names[i]->get_name() + "'");
    }
    return text;
}

}  // namespace

std::string version() {
    return ROMTIDE_VERSION;
}

std::string versionLine(const std::string& program) {
    return program + " (Romtide) " + version();
}

void prepare(CLI::App& app, const std::string& program, const std::string& description) {
    app.name(program);
    app.description(description);
    app.set_version_flag("--version", versionLine(program), "Print the version and exit");
    app.set_help_flag("-h,--help", "Print this help and exit");
}

std::optional<int> parse(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        const std::string where = commandPath(app);
        CLI::App* at = deepest(app);
        std::string text = e.what();
        if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr &&
            at->get_subcommands().empty() && at->get_require_subcommand_min() > 0) {
            text = expectedSubcommands(*at);
        }
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", where.c_str(), text.c_str(),
                     where.c_str());
        return kBadArguments;
    }
}

void refuse(const std::string& text) {
    throw CLI::ValidationError(text);
}

std::optional<std::vector<int>> numberList(const std::string& text, int low, int high) {
    std::vector<int> numbers;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');) {
        int n = 0;
        if (!parseInt(part, low, high, &n)) {
            return std::nullopt;
        }
        numbers.push_back(n);
    }
    if (numbers.empty()) {
        return std::nullopt;
    }
    return numbers;
}

CLI::Option* addRepeatable(CLI::App& app, const std::string& name,
                           std::function<void(const std::string&)> each,
                           const std::string& description) {
    return app
        .add_option_function<std::vector<std::string>>(
            name,
            [each = std::move(each)](const std::vector<std::string>& values) {
                for (const auto& v : values) {
                    each(v);
                }
            },
            description)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

CLI::Option* addNumberList(CLI::App& app, const std::string& name, int low, int high,
                           const std::string& what, std::vector<int>& out,
                           const std::string& description) {
    return addRepeatable(
               app, name,
               [=, &out](const std::string& v) {
                   auto numbers = numberList(v, low, high);
                   if (!numbers) {
                       refuse(name + ": " + what + " are " + std::to_string(low) + ".." +
                              std::to_string(high) + ": " + v);
                   }
                   // A number named again is the same device.
                   for (int n : *numbers) {
                       if (std::find(out.begin(), out.end(), n) == out.end()) {
                           out.push_back(n);
                       }
                   }
               },
               description)
        ->option_text("N[,N...]");
}

}  // namespace romtide::cli
