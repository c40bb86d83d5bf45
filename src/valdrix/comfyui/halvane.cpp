// valdrix.comfyui.halvane: orders a ComfyUI service to restart and waits until
// it answers again.
//
// Everything here talks to the outside through the interpreter: `requests`,
// `time` and `logging` are looked up in the module namespace at every use (so
// a host or a test may replace them after import), instance attributes are
// read afresh at every use, and sibling methods are called through `self`.
// The calling thread blocks only inside `requests.get` and `time.sleep`, which
// release the GIL themselves.
#include <vxnative/except.hpp>
#include <vxnative/native.hpp>
#include <vxnative/numbers.hpp>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *kSource = "valdrix/comfyui/halvane.cpp";

constexpr const char *kDefaultBaseUrl = "http://127.0.0.1:8188";
constexpr const char *kRebootPath = "/api/manager/reboot";
constexpr const char *kStatsPath = "/api/system_stats";
constexpr const char *kFlagPrefix = "comfyui服务重启 [";
constexpr const char *kFlagSuffix = "]";
// A service that accepts the restart order may hang up without answering;
// the HTTP client reports that with this text.
constexpr const char *kRemoteClosed = "Remote end closed connection";

constexpr const char *kClassDoc = "ComfyUI 服务管理工具\n"
                                  "- 调用 reboot 接口发起服务重启\n"
                                  "- 轮询 system_stats 接口等待服务恢复\n"
                                  "- 完整流程：重启 + 等待恢复";
constexpr const char *kTriggerRebootDoc = "发起重启请求，无返回值；远程断开视为下发成功";
constexpr const char *kWaitServiceReadyDoc = "轮询检测服务是否恢复，60秒超时";
constexpr const char *kRunRebootAndWaitDoc = "完整流程：发起重启 + 等待恢复";

constexpr const char *kRebootCalled = "%s 调用重启接口 url=%s";
constexpr const char *kRebootAccepted = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s";
constexpr const char *kRebootConnectionError = "%s 连接异常：%s url=%s";
constexpr const char *kRebootFailed = "%s 发起重启请求异常: %s url=%s";
constexpr const char *kPollStart = "%s 开始轮询 %s，最长等待 %ss";
constexpr const char *kServiceReady = "%s 服务已恢复正常，状态码200";
constexpr const char *kBadStatus = "%s 接口返回异常状态码 %s，继续等待...";
constexpr const char *kNotListening = " 服务未启动/连接拒绝，等待中...";
constexpr const char *kRequestFailed = " 请求异常: ";
constexpr const char *kPollTimedOut = "%s 超时 %ss，服务未恢复";
constexpr const char *kCycleDone = "%s 重启完成，服务正常可用";
constexpr const char *kCycleTimedOut = "%s 重启后超时未恢复";

// --- small helpers -----------------------------------------------------------

// A constant text (message format, URL piece), made once per use site and kept
// for the life of the process, as the constants of compiled Python code are.
#define TEXT(constant) VX_ID(constant)

nb::object attr_of(nb::handle object, nb::handle name) { return nb::getattr(object, name); }

// The text an f-string replacement field gives: format(value, "").
nb::str formatted(nb::handle value) {
    return nb::steal<nb::str>(vx::steal_or_throw(PyObject_Format(value.ptr(), nullptr)).release());
}

nb::str concat(nb::handle left, nb::handle right) {
    return nb::steal<nb::str>(vx::steal_or_throw(PyUnicode_Concat(left.ptr(), right.ptr())).release());
}

bool truth_of(nb::handle value) { return vx::truth(value); }

using vx::compare;

// The handles the logging calls need, resolved in the order an expression
// `self.logger.<level>(format, ...)` evaluates them: the method first, then
// the values.
nb::object logger_method(nb::handle self, nb::handle level) { return attr_of(attr_of(self, VX_ID("logger")), level); }

// `requests.get(url, timeout=self.timeout)` with `requests` taken from the
// module namespace now; `url_attribute` names the instance attribute read.
nb::object http_get(const vx::Args &args, nb::handle url_attribute) {
    nb::handle self = args[0];
    nb::object get = attr_of(args.global(VX_ID("requests")), VX_ID("get"));
    nb::object url = attr_of(self, url_attribute);
    nb::object timeout = attr_of(self, VX_ID("timeout"));
    return get(url, "timeout"_a = timeout);
}

// `requests.exceptions.ConnectionError`, resolved when an exception is matched.
nb::object connection_error_class(const vx::Args &args) {
    return attr_of(attr_of(args.global(VX_ID("requests")), VX_ID("exceptions")), VX_ID("ConnectionError"));
}

bool is_exception(nb::handle exception) {
    return PyErr_GivenExceptionMatches(exception.ptr(), PyExc_Exception) != 0;
}

// --- __init__ ----------------------------------------------------------------

// `<base_url attribute>` followed by `path`, the attribute read back from the
// instance just as it was stored.
nb::str endpoint(nb::handle self, nb::handle path) {
    return concat(formatted(attr_of(self, VX_ID("base_url"))), path);
}

nb::object default_logger(const vx::Args &args) {
    nb::object get_logger = attr_of(args.global(VX_ID("logging")), VX_ID("getLogger"));
    return get_logger(args.global(VX_ID("__name__")));
}

nb::object manager_init(const vx::Args &args) {
    nb::handle self = args[0];
    nb::int_ timeout = args.integer(2);
    nb::int_ max_wait = args.integer(3);
    double poll_interval = args.real(4);
    nb::str base_url = args.str(1);
    nb::handle logger = args[5];

    nb::setattr(self, VX_ID("base_url"), attr_of(base_url, VX_ID("rstrip"))(TEXT("/")));
    nb::setattr(self, VX_ID("reboot_api"), endpoint(self, TEXT(kRebootPath)));
    nb::setattr(self, VX_ID("stats_api"), endpoint(self, TEXT(kStatsPath)));
    nb::setattr(self, VX_ID("timeout"), timeout);
    nb::setattr(self, VX_ID("max_wait"), max_wait);
    nb::setattr(self, VX_ID("poll_interval"), nb::float_(poll_interval));
    nb::setattr(self, VX_ID("flag"), concat(concat(TEXT(kFlagPrefix), base_url), TEXT(kFlagSuffix)));
    nb::setattr(self, VX_ID("logger"), truth_of(logger) ? nb::borrow(logger) : default_logger(args));
    return nb::none();
}

// --- trigger_reboot ----------------------------------------------------------

void log_reboot_called(nb::handle self) {
    nb::object debug = logger_method(self, VX_ID("debug"));
    nb::object flag = attr_of(self, VX_ID("flag"));
    nb::object url = attr_of(self, VX_ID("reboot_api"));
    debug(TEXT(kRebootCalled), flag, url);
}

void log_reboot_accepted(nb::handle self) {
    nb::object debug = logger_method(self, VX_ID("debug"));
    nb::object flag = attr_of(self, VX_ID("flag"));
    nb::object url = attr_of(self, VX_ID("reboot_api"));
    debug(TEXT(kRebootAccepted), flag, url);
}

// A failure logged with its text between the flag and the URL.
void log_reboot_failure(nb::handle self, nb::handle format, nb::handle exception) {
    nb::object debug = logger_method(self, VX_ID("debug"));
    nb::object flag = attr_of(self, VX_ID("flag"));
    nb::str text = nb::str(exception);
    nb::object url = attr_of(self, VX_ID("reboot_api"));
    debug(format, flag, text, url);
}

void handle_reboot_connection_error(nb::handle self, nb::handle exception) {
    nb::str text = nb::str(exception);
    int remote_closed = PySequence_Contains(text.ptr(), TEXT(kRemoteClosed).ptr());
    if (remote_closed < 0)
        throw nb::python_error();
    if (remote_closed)
        log_reboot_accepted(self);
    else
        log_reboot_failure(self, TEXT(kRebootConnectionError), exception);
}

nb::object trigger_reboot(const vx::Args &args) {
    nb::handle self = args[0];
    nb::object exception = vx::run_protected([&] {
        http_get(args, VX_ID("reboot_api"));
        log_reboot_called(self);
    });
    if (!exception.is_valid())
        return nb::none();

    vx::HandlingScope handling(exception);
    if (vx::exception_matches(exception, connection_error_class(args)))
        handle_reboot_connection_error(self, exception);
    else if (is_exception(exception))
        log_reboot_failure(self, TEXT(kRebootFailed), exception);
    else
        vx::reraise(std::move(exception));
    return nb::none();
}

// --- wait_service_ready ------------------------------------------------------

nb::object wall_clock(const vx::Args &args) { return attr_of(args.global(VX_ID("time")), VX_ID("time"))(); }

// time.time() - start_time < self.max_wait, evaluated afresh.
bool within_budget(const vx::Args &args, nb::handle start_time) {
    nb::object now = wall_clock(args);
    nb::object elapsed = vx::steal_or_throw(PyNumber_Subtract(now.ptr(), start_time.ptr()));
    nb::object max_wait = attr_of(args[0], VX_ID("max_wait"));
    return compare(elapsed, max_wait, Py_LT);
}

void log_poll_start(nb::handle self) {
    nb::object debug = logger_method(self, VX_ID("debug"));
    nb::object flag = attr_of(self, VX_ID("flag"));
    nb::object url = attr_of(self, VX_ID("stats_api"));
    nb::object max_wait = attr_of(self, VX_ID("max_wait"));
    debug(TEXT(kPollStart), flag, url, max_wait);
}

void log_poll_timed_out(nb::handle self) {
    nb::object error = logger_method(self, VX_ID("error"));
    nb::object flag = attr_of(self, VX_ID("flag"));
    nb::object max_wait = attr_of(self, VX_ID("max_wait"));
    error(TEXT(kPollTimedOut), flag, max_wait);
}

void log_with_flag(nb::handle self, nb::handle level, nb::handle format) {
    nb::object method = logger_method(self, level);
    nb::object flag = attr_of(self, VX_ID("flag"));
    method(format, flag);
}

// One readiness request; true when the service answered 200.
bool service_answers(const vx::Args &args) {
    nb::handle self = args[0];
    nb::object response = http_get(args, VX_ID("stats_api"));
    if (compare(attr_of(response, VX_ID("status_code")), nb::int_(200), Py_EQ)) {
        log_with_flag(self, VX_ID("debug"), TEXT(kServiceReady));
        return true;
    }
    nb::object debug = logger_method(self, VX_ID("debug"));
    nb::object flag = attr_of(self, VX_ID("flag"));
    nb::object status = attr_of(response, VX_ID("status_code"));
    debug(TEXT(kBadStatus), flag, status);
    return false;
}

void print_line(const vx::Args &args, nb::handle text) { args.global(VX_ID("print"))(text); }

// Failed readiness requests go to standard output, not to the logger.
void report_failed_request(const vx::Args &args, nb::handle exception) {
    vx::HandlingScope handling(exception);
    nb::handle self = args[0];
    if (vx::exception_matches(exception, connection_error_class(args))) {
        print_line(args, concat(formatted(attr_of(self, VX_ID("flag"))), TEXT(kNotListening)));
        return;
    }
    if (!is_exception(exception))
        vx::reraise(nb::borrow(exception));
    nb::str text = concat(formatted(attr_of(self, VX_ID("flag"))), TEXT(kRequestFailed));
    print_line(args, concat(text, formatted(exception)));
}

void pause(const vx::Args &args) {
    nb::object sleep = attr_of(args.global(VX_ID("time")), VX_ID("sleep"));
    sleep(attr_of(args[0], VX_ID("poll_interval")));
}

nb::object wait_service_ready(const vx::Args &args) {
    nb::handle self = args[0];
    nb::object start_time = wall_clock(args);
    log_poll_start(self);
    while (within_budget(args, start_time)) {
        bool ready = false;
        nb::object exception = vx::run_protected([&] { ready = service_answers(args); });
        if (ready)
            return nb::bool_(true);
        if (exception.is_valid())
            report_failed_request(args, exception);
        pause(args);
    }
    log_poll_timed_out(self);
    return nb::bool_(false);
}

// --- run_reboot_and_wait -----------------------------------------------------

nb::object run_reboot_and_wait(const vx::Args &args) {
    nb::handle self = args[0];
    attr_of(self, VX_ID("trigger_reboot"))();
    nb::object ready = attr_of(self, VX_ID("wait_service_ready"))();
    if (truth_of(ready))
        log_with_flag(self, VX_ID("debug"), TEXT(kCycleDone));
    else
        log_with_flag(self, VX_ID("error"), TEXT(kCycleTimedOut));
    return ready;
}

void add_manager_class(const vx::ModuleContext &context) {
    vx::ClassBuilder manager(context, "ComfyUIManager", kClassDoc);
    manager.method({.name = "__init__",
                    .implementation = manager_init,
                    .params = {{"self"},
                               {"base_url", "str", nb::str(kDefaultBaseUrl)},
                               {"timeout", "int", nb::int_(5)},
                               {"max_wait_seconds", "int", nb::int_(60)},
                               {"poll_interval", "float", nb::float_(2.0)},
                               {"logger", "Optional[logging.Logger]", nb::none()}},
                    .source_line = __LINE__});
    manager.method({.name = "trigger_reboot",
                    .implementation = trigger_reboot,
                    .params = {{"self"}},
                    .doc = kTriggerRebootDoc,
                    .return_annotation = "None",
                    .source_line = __LINE__});
    manager.method({.name = "wait_service_ready",
                    .implementation = wait_service_ready,
                    .params = {{"self"}},
                    .doc = kWaitServiceReadyDoc,
                    .return_annotation = "bool",
                    .source_line = __LINE__});
    manager.method({.name = "run_reboot_and_wait",
                    .implementation = run_reboot_and_wait,
                    .params = {{"self"}},
                    .doc = kRunRebootAndWaitDoc,
                    .return_annotation = "bool",
                    .source_line = __LINE__});
    manager.finish();
}

} // namespace

VX_MODULE(halvane, module) {
    vx::ModuleContext context{module, kSource};
    context.bind("time", vx::ModuleContext::import("time"));
    context.bind("logging", vx::ModuleContext::import("logging"));
    context.bind("requests", vx::ModuleContext::import("requests"));
    context.bind("Optional", vx::ModuleContext::import_from("typing", "Optional"));
    add_manager_class(context);
}
