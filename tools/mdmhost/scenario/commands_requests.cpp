// Application requests: open, close, cleanup, flush, read, write, device control and internal
// device control by code name with typed or raw input, named asynchronous requests, cancel and
// wait.
#include "scenario/scenario.h"

namespace mdmhost::scenario {

namespace {

Statement Make(Action action) {
  Statement s;
  s.run = std::move(action);
  return s;
}

// What may follow a request in any order: as NAME, on HANDLE, at LEVEL.
struct Common {
  std::string name;    // as
  std::string handle;  // on
  KIRQL irql = PASSIVE_LEVEL;
};

bool TakeCommon(Args& args, Common& c) {
  if (args.Take("as")) {
    c.name = args.Word("a request name after 'as'");
    return true;
  }
  if (args.Take("on")) {
    c.handle = args.Word("a handle name after 'on'");
    return true;
  }
  if (args.Take("at")) {
    std::string level = args.Word("an IRQL (passive, apc, dispatch)");
    for (char& ch : level) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (level == "passive" || level == "passive_level") {
      c.irql = PASSIVE_LEVEL;
    } else if (level == "apc" || level == "apc_level") {
      c.irql = APC_LEVEL;
    } else if (level == "dispatch" || level == "dispatch_level") {
      c.irql = DISPATCH_LEVEL;
    } else {
      args.Error("unknown IRQL '" + level + "' (passive, apc, dispatch)");
    }
    return true;
  }
  return false;
}

void CheckPendingNeedsName(Args& args, const ResultSpec& spec, const Common& c) {
  if (spec.given && spec.status == STATUS_PENDING && c.name.empty()) {
    args.Error("a request expected to stay pending needs a name: add 'as NAME'");
  }
}

// Sends a request: named ones are left in flight (their dispatch result checked against the
// line), the others are waited for and their final result checked.
void Issue(Runner& r, const Common& c, const RequestKind& kind, const ResultSpec& spec,
           const std::string& what, const std::function<host::app::Request()>& send) {
  host::app::Request request = send();
  if (!c.name.empty()) {
    if (spec.given && spec.status == STATUS_PENDING) {
      if (request.Done()) {
        throw Failure{what + " finished at once", "-> PENDING",
                      DescribeResult(kind, request.Result())};
      }
      if (request.DispatchStatus() != STATUS_PENDING) {
        throw Failure{what + ": the dispatch routine did not return STATUS_PENDING", "PENDING",
                      StatusName(request.DispatchStatus())};
      }
    } else if (spec.given) {
      if (!request.Done()) {
        throw Failure{what + " is still pending", "-> " + spec.text, "PENDING"};
      }
      CheckResult(spec, kind, request.Result());
    }
    r.AddRequest(c.name, {kind, request, r.line()});
    r.Note(what + (request.Done() ? " -> " + DescribeResult(kind, request.Result()) : " pending"));
    return;
  }
  host::app::IoResult result = request.Wait();
  r.Note(what + " -> " + DescribeResult(kind, result));
  if (spec.given) {
    CheckResult(spec, kind, result);
  } else if (!NT_SUCCESS(result.status)) {
    throw Failure{what + " failed", "success", DescribeResult(kind, result)};
  }
}

// ioctl CODE [value ... | Name=value ... | "bytes"] [in HH ...] [out N] [as R] [on H] [at L]
Statement ParseIoctl(Args& args, bool internal) {
  std::string codeText = args.Word("a control code (SET_BAUD_RATE, 0x1B0004, ...)");
  const ControlCode* code = FindControlCode(codeText, internal);
  ULONG value = 0;
  if (code != nullptr) {
    value = code->code;
  } else if (auto n = ParseNumber(codeText); n && *n <= 0xFFFFFFFFull) {
    value = static_cast<ULONG>(*n);
    code = ControlCodeByValue(value, internal);
  } else {
    args.Error("unknown control code '" + codeText + "'");
  }
  Common c;
  std::optional<std::vector<uint8_t>> rawIn;
  std::optional<uint64_t> outLength;
  std::vector<uint8_t> typed;
  bool anyTyped = false;
  size_t positional = 0;
  while (!args.AtEnd() && !args.AtArrow()) {
    if (TakeCommon(args, c)) continue;
    if (args.Take("in")) {
      auto bytes = ParseData(args);
      rawIn = bytes ? *bytes : std::vector<uint8_t>();
      continue;
    }
    if (args.Take("out")) {
      outLength = args.Number("an output length after 'out'");
      if (*outLength > (1u << 20)) args.Error("an output buffer of more than 1 MiB");
      continue;
    }
    if (args.PeekString()) {
      std::string s = args.Next().text;
      typed.insert(typed.end(), s.begin(), s.end());
      anyTyped = true;
      continue;
    }
    std::string w = args.Word("an input value");
    const Record* in = code ? code->input : nullptr;
    if (in == nullptr) {
      args.Error((code ? std::string(code->name) : codeText) +
                 " takes no typed input; give raw bytes with 'in bytes ...'");
    }
    size_t eq = w.find('=');
    const Field* field = nullptr;
    std::string valueText = w;
    if (eq != std::string::npos) {
      field = in->Find(w.substr(0, eq));
      if (field == nullptr) args.Error(std::string(in->name) + " has no field " + w.substr(0, eq));
      valueText = w.substr(eq + 1);
    } else {
      if (positional >= in->fields.size()) args.Error("too many values for " + std::string(in->name));
      field = &in->fields[positional++];
    }
    auto v = ParseValue(valueText);
    if (!v) args.Error("expected a number or a known constant, found '" + valueText + "'");
    if (typed.size() < in->size) typed.resize(in->size, 0);
    SetField(typed, *field, *v);
    anyTyped = true;
  }
  ResultSpec spec = ParseOptionalResult(args);
  args.End();
  CheckPendingNeedsName(args, spec, c);
  if (rawIn && anyTyped) args.Error("give the input either typed or with 'in', not both");
  std::vector<uint8_t> input = rawIn ? *rawIn : typed;
  ULONG output = static_cast<ULONG>(outLength ? *outLength : (code ? code->outputLength : 0));
  RequestKind kind{RequestKind::Control, code};
  const std::string what = ControlCodeName(value, internal);
  return Make([=](Runner& r) {
    host::app::File& file = r.File(c.handle);
    Issue(r, c, kind, spec, what, [&] {
      const void* data = input.empty() ? nullptr : input.data();
      ULONG length = static_cast<ULONG>(input.size());
      return internal ? file.InternalDeviceIoControlAsync(value, data, length, output, c.irql)
                      : file.DeviceIoControlAsync(value, data, length, output, c.irql);
    });
  });
}

}  // namespace

void AddRequestCommands(CommandTable& table) {
  // open NAME [as H] [kernel] [-> STATUS]
  table["open"] = [](Args& args) {
    std::string target = args.PeekString() ? args.Next().text : args.Word("a port or device name");
    std::string name;
    bool kernel = false;
    while (!args.AtEnd() && !args.AtArrow()) {
      if (args.Take("as")) {
        name = args.Word("a handle name after 'as'");
      } else if (args.Take("kernel")) {
        kernel = true;
      } else {
        args.Error("unexpected '" + args.Peek().text + "' (open NAME [as HANDLE] [kernel])");
      }
    }
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    if (name.empty()) name = target;
    return Make([=](Runner& r) {
      auto file = std::make_unique<host::app::File>();
      host::app::OpenOptions options;
      options.bypassExclusiveCheck = kernel;
      NTSTATUS status = host::app::File::Open(target, file.get(), options);
      r.Note("open " + target + " -> " + StatusName(status));
      if (spec.given ? status != spec.status : !NT_SUCCESS(status)) {
        throw Failure{"wrong status of the open", spec.given ? "-> " + spec.text : "success",
                      StatusName(status)};
      }
      if (NT_SUCCESS(status)) {
        if (r.HasHandle(name)) {
          throw Failure{"a handle named '" + name + "' is open already (name this one with 'as')",
                        "", ""};
        }
        r.AddHandle(name, std::move(file));
      }
    });
  };

  // close [HANDLE] [as R] [-> STATUS]: cleanup (unless sent already), then close.
  table["close"] = [](Args& args) {
    Common c;
    if (!args.AtEnd() && !args.AtArrow() && !args.PeekWord("as") && !args.PeekWord("on")) {
      c.handle = args.Word("a handle name");
    }
    while (!args.AtEnd() && !args.AtArrow()) {
      if (!TakeCommon(args, c)) args.Error("unexpected '" + args.Peek().text + "'");
    }
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    CheckPendingNeedsName(args, spec, c);
    return Make([=](Runner& r) {
      Runner::Handle& h = r.HandleOf(c.handle);
      if (!h.cleanupSent) {
        NTSTATUS cleanup = h.file->Cleanup();
        h.cleanupSent = true;
        if (!NT_SUCCESS(cleanup)) {
          throw Failure{"the cleanup before the close failed", "success", StatusName(cleanup)};
        }
      }
      // The handle leaves the script's table now; the File object lives until the close has
      // been issued (a named close goes on by itself).
      std::shared_ptr<host::app::File> keep(std::move(h.file));
      r.DropHandle(c.handle);
      Issue(r, c, RequestKind{}, spec, "IRP_MJ_CLOSE", [&] { return keep->CloseAsync(); });
    });
  };

  table["cleanup"] = [](Args& args) {
    std::string handle;
    if (args.Take("on") || (!args.AtEnd() && !args.AtArrow())) handle = args.Word("a handle name");
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    return Make([=](Runner& r) {
      Runner::Handle& h = r.HandleOf(handle);
      NTSTATUS status = h.file->Cleanup();
      h.cleanupSent = true;
      r.Note("IRP_MJ_CLEANUP -> " + StatusName(status));
      if (spec.given ? status != spec.status : !NT_SUCCESS(status)) {
        throw Failure{"wrong status of the cleanup", spec.given ? "-> " + spec.text : "success",
                      StatusName(status)};
      }
    });
  };

  table["flush"] = [](Args& args) {
    Common c;
    while (!args.AtEnd() && !args.AtArrow()) {
      if (!TakeCommon(args, c)) args.Error("unexpected '" + args.Peek().text + "'");
    }
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    CheckPendingNeedsName(args, spec, c);
    return Make([=](Runner& r) {
      host::app::File& file = r.File(c.handle);
      // Flush has no asynchronous form on the application side; it is always waited for.
      host::app::IoResult result = file.Flush(c.irql);
      r.Note("IRP_MJ_FLUSH_BUFFERS -> " + StatusName(result.status));
      if (spec.given) {
        CheckResult(spec, RequestKind{}, result);
      } else if (!NT_SUCCESS(result.status)) {
        throw Failure{"the flush failed", "success", StatusName(result.status)};
      }
    });
  };

  // read N [as R] [on H] [at L] [-> RESULT]
  table["read"] = [](Args& args) {
    uint64_t length = args.Number("the number of bytes to read");
    if (length > (64u << 20)) args.Error("a read of more than 64 MiB");
    Common c;
    while (!args.AtEnd() && !args.AtArrow()) {
      if (!TakeCommon(args, c)) args.Error("unexpected '" + args.Peek().text + "'");
    }
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    CheckPendingNeedsName(args, spec, c);
    return Make([=](Runner& r) {
      host::app::File& file = r.File(c.handle);
      Issue(r, c, RequestKind{RequestKind::Read, nullptr}, spec,
            "read " + std::to_string(length),
            [&] { return file.ReadAsync(static_cast<ULONG>(length), c.irql); });
    });
  };

  // write DATA [as R] [on H] [at L] [-> RESULT]
  table["write"] = [](Args& args) {
    auto data = ParseData(args);
    if (!data) args.Error("expected the data to write (\"text\", bytes 41 54, pattern 5000)");
    Common c;
    while (!args.AtEnd() && !args.AtArrow()) {
      if (!TakeCommon(args, c)) args.Error("unexpected '" + args.Peek().text + "'");
    }
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    CheckPendingNeedsName(args, spec, c);
    std::vector<uint8_t> bytes = *data;
    return Make([=](Runner& r) {
      host::app::File& file = r.File(c.handle);
      Issue(r, c, RequestKind{RequestKind::Write, nullptr}, spec,
            "write " + std::to_string(bytes.size()) + " bytes", [&] {
              return file.WriteAsync(bytes.empty() ? nullptr : bytes.data(),
                                     static_cast<ULONG>(bytes.size()), c.irql);
            });
    });
  };

  table["ioctl"] = [](Args& args) { return ParseIoctl(args, false); };
  table["internal-ioctl"] = [](Args& args) { return ParseIoctl(args, true); };

  // cancel R: IoCancelIrp on a named request.
  table["cancel"] = [](Args& args) {
    std::string name = args.Word("a request name");
    args.End();
    return Make([=](Runner& r) {
      Runner::PendingRequest& p = r.Request(name);
      BOOLEAN result = p.request.Cancel();
      r.Note("IoCancelIrp -> " + std::string(result ? "TRUE" : "FALSE"));
    });
  };

  // wait R [-> RESULT]: waits until the request has finished (time moves as needed).
  table["wait"] = [](Args& args) {
    std::string name = args.Word("a request name");
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    return Make([=](Runner& r) {
      Runner::PendingRequest& p = r.Request(name);
      host::app::IoResult result = p.request.Wait();
      r.Note(name + " -> " + DescribeResult(p.kind, result));
      if (!p.request.Done()) {
        throw Failure{"request " + name + " never finished", spec.given ? "-> " + spec.text : "done",
                      "still pending"};
      }
      if (spec.given) {
        CheckResult(spec, p.kind, result);
      } else if (!NT_SUCCESS(result.status)) {
        throw Failure{"request " + name + " failed", "success", DescribeResult(p.kind, result)};
      }
    });
  };
}

}  // namespace mdmhost::scenario
