#include "hosts/veriquill/script_runner.h"

#include <cstdio>
#include <istream>
#include <ostream>

#include "control/method_table.h"
#include "hosts/veriquill/script_line.h"
#include "platform/codepage/codepage.h"

namespace vq::host {

ScriptRunner::ScriptRunner(RunOptions options) : options_(options) {
    if (options_.page) ctrl_.SetClientSite(&page_);
}

int ScriptRunner::Run(std::istream& in, std::ostream& out, std::ostream& err) {
    int status = 0;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        auto fail = [&](const std::string& message) {
            err << "line " << number << ": " << message << '\n';
            status = 1;
        };
        auto parsed = ParseScriptLine(line);
        if (auto* e = std::get_if<ParseError>(&parsed)) {
            fail("column " + std::to_string(e->column) + ": " + e->message);
            continue;
        }
        auto& sl = std::get<ScriptLine>(parsed);
        if (auto* pf = std::get_if<PageFunction>(&sl)) {
            page_.Define(pf->name);
            continue;
        }
        auto* call = std::get_if<ScriptCall>(&sl);
        if (!call) continue;

        const MethodInfo* method = FindMethod(call->name);
        if (!method) {
            fail("unknown method " + call->name);
            continue;
        }
        // Strings cross into the component in its ANSI code page, as the scripting engine
        // converted them.
        std::vector<ScriptValue> args;
        bool convertible = true;
        for (const ScriptArg& a : call->args) {
            if (const auto* s = std::get_if<std::string>(&a)) {
                auto ansi = cp::Utf8ToAnsi(*s);
                if (!ansi) {
                    convertible = false;
                    break;
                }
                args.emplace_back(std::move(*ansi));
            } else if (const auto* n = std::get_if<std::int64_t>(&a)) {
                args.emplace_back(*n);
            } else {
                args.emplace_back(std::monostate{});
            }
        }
        if (!convertible) {
            fail(call->name + ": argument is not valid UTF-8");
            continue;
        }
        if (options_.echo) out << "> " << line << '\n';
        const InvokeResult r = ctrl_.Invoke(method->dispid, args);
        if (r.hr) {
            fail(std::string(method->name) + ": " + DescribeHresult(r.hr));
            continue;
        }
        out << (r.value ? cp::AnsiToUtf8(*r.value) : std::string()) << '\n';
        out.flush();
    }
    return status;
}

}  // namespace vq::host
