// Application requests: open, close, cleanup, flush, read, write, device control and internal
// device control by code name with typed or raw input, named asynchronous requests, cancel and
// wait; and the same requests as a kernel client sends them, straight to a device object.
#include "scenario/scenario.h"

namespace mdmhost::scenario {

namespace {

Statement Make(Action action) {
  Statement s;
  s.run = std::move(action);
  return s;
}

// What may follow a request in any order: as NAME, on HANDLE, at LEVEL, to DEVICE, preset ....
struct Common {
  std::string name;    // as
  std::string handle;  // on
  KIRQL irql = PASSIVE_LEVEL;
  // to: a kernel client's request, sent with no file object straight to this device object
  // ("device": the top of the current device's stack).
  std::optional<std::string> target;
  std::optional<NTSTATUS> presetStatus;  // preset: IoStatus before the request is sent
  std::optional<uint64_t> presetInfo;
  // past-cleanup: the request reaches the driver after the handle's IRP_MJ_CLEANUP and before
  // its IRP_MJ_CLOSE, as one another thread issued while this one closed the handle does (the
  // I/O manager had referenced the file object; the close waits for the request).
  bool pastCleanup = false;
};

// A request on a handle the script has closed: the object manager refuses it with
// STATUS_INVALID_HANDLE before any request is built (thrown by the sender, caught by Issue).
struct HandleClosed {};

bool TakeCommon(Args& args, Common& c) {
  if (args.Take("as")) {
    c.name = args.Word("a request name after 'as'");
    return true;
  }
  if (args.Take("on")) {
    c.handle = args.Word("a handle name after 'on'");
    return true;
  }
  if (args.Take("past-cleanup")) {
    c.pastCleanup = true;
    return true;
  }
  if (args.Take("to")) {
    c.target = args.PeekString() ? args.Next().text
                                 : args.Word("a device object after 'to' (device, \\Device\\TAVRINMDM0)");
    return true;
  }
  if (args.Take("preset")) {
    bool any = false;
    for (;;) {
      if (args.Take("status")) {
        c.presetStatus = args.Status("the status to preset");
      } else if (args.Take("info")) {
        c.presetInfo = args.Number("the Information to preset");
      } else {
        break;
      }
      any = true;
    }
    if (!any) args.Error("expected 'status STATUS' or 'info N' after 'preset'");
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

// The checks every request line makes once its words are read.
void CheckCommon(Args& args, const ResultSpec& spec, const Common& c) {
  if (spec.given && !spec.any && spec.MayPend() && c.name.empty()) {
    args.Error("a request expected to stay pending needs a name: add 'as NAME'");
  }
  if (c.target && !c.handle.empty()) {
    args.Error("'on HANDLE' and 'to DEVICE' exclude each other: a kernel client's request has no handle");
  }
  if (c.pastCleanup && c.handle.empty()) {
    args.Error("'past-cleanup' names its handle: add 'on HANDLE'");
  }
  if ((c.presetStatus || c.presetInfo) && !c.target) {
    args.Error("'preset' needs a kernel client's request ('to device'): the I/O manager starts "
               "an application's request at STATUS_SUCCESS, Information 0");
  }
}

PDEVICE_OBJECT TargetDevice(Runner& r, const std::string& target) {
  if (target == "device") {
    size_t i = r.Device();
    if (r.stack().Pdo(i) == nullptr) {
      throw Failure{"device " + r.stack().device(i).label + " is gone (its PDO was deleted)", "", ""};
    }
    return host::pnp::StackTop(r.stack().Pdo(i));
  }
  PDEVICE_OBJECT device = host::objects::FindDevice(target);
  if (device == nullptr) throw Failure{"no device object named " + target, "", ""};
  return device;
}

// What sends the request, on whichever thread calls it: through the handle as the I/O manager
// sends an application's request, or straight to a device object as a kernel client does.
std::function<host::app::Request()> Sender(Runner& r, const Common& c, UCHAR major, ULONG code,
                                           std::vector<uint8_t> input, ULONG outputLength) {
  const KIRQL irql = c.irql;
  if (c.target) {
    PDEVICE_OBJECT device = TargetDevice(r, *c.target);
    std::optional<NTSTATUS> status = c.presetStatus;
    std::optional<uint64_t> info = c.presetInfo;
    return [=] {
      return host::app::SendRaw(device, major, 0, code, input.empty() ? nullptr : input.data(),
                                static_cast<ULONG>(input.size()), outputLength, irql,
                                [status, info](PIRP irp) {
                                  if (status) irp->IoStatus.Status = *status;
                                  if (info) irp->IoStatus.Information = static_cast<ULONG_PTR>(*info);
                                });
    };
  }
  if (!c.handle.empty() && r.WasClosed(c.handle)) {
    if (!c.name.empty()) {
      throw Failure{"handle " + c.handle + " is closed: a request on it finishes at once with "
                    "STATUS_INVALID_HANDLE and takes no name", "", ""};
    }
    return []() -> host::app::Request { throw HandleClosed{}; };
  }
  std::shared_ptr<host::app::File> file;
  if (c.pastCleanup) {
    Runner::Handle& h = r.HandleOf(c.handle);
    if (!h.cleanupSent) {
      throw Failure{"'past-cleanup': handle " + c.handle + " has had no cleanup yet", "", ""};
    }
    file = h.file;
  } else {
    file = r.File(c.handle);
  }
  return [=] {
    const void* data = input.empty() ? nullptr : input.data();
    const ULONG length = static_cast<ULONG>(input.size());
    switch (major) {
      case IRP_MJ_READ:
        return file->ReadAsync(outputLength, irql);
      case IRP_MJ_WRITE:
        return file->WriteAsync(data, length, irql);
      case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return file->InternalDeviceIoControlAsync(code, data, length, outputLength, irql);
      default:
        return file->DeviceIoControlAsync(code, data, length, outputLength, irql);
    }
  };
}

// Sends a request: named ones are left in flight (their dispatch result checked against the
// line), the others are waited for and their final result checked.
void Issue(Runner& r, const Common& c, const RequestKind& kind, const ResultSpec& spec,
           const std::string& what, std::function<host::app::Request()> send) {
  if (c.name.empty()) {
    host::app::IoResult result;
    try {
      result = send().Wait();
    } catch (const HandleClosed&) {
      result.status = STATUS_INVALID_HANDLE;
    }
    r.Note(what + " -> " + DescribeResult(kind, result));
    JudgeResult(r, spec, kind, result, what);
    return;
  }
  std::shared_ptr<Runner::PendingRequest> p = r.SendNamed(c.name, kind, std::move(send));
  const std::string state = p->Done() ? DescribeResult(kind, p->request.Result())
                            : p->sent ? std::string("pending")
                                      : std::string("pending (its dispatch routine has not returned)");
  r.Note(what + " -> " + state);
  if (spec.any) {
    r.Record(c.name + ": " + what + " -> " + state);
  } else if (spec.given && spec.MayPend()) {
    if (p->Done()) {
      if (spec.OnlyPending()) {
        throw Failure{what + " finished at once", "-> PENDING", DescribeResult(kind, p->request.Result())};
      }
      CheckResult(spec, kind, p->request.Result());
    } else if (p->sent && p->request.DispatchStatus() != STATUS_PENDING) {
      throw Failure{what + ": the dispatch routine did not return STATUS_PENDING", "PENDING",
                    StatusName(p->request.DispatchStatus())};
    }
  } else if (spec.given) {
    if (!p->Done()) throw Failure{what + " is still pending", "-> " + spec.text, state};
    CheckResult(spec, kind, p->request.Result());
  }
}

// Reads the words that may follow a request, then its result.
ResultSpec TakeRest(Args& args, Common& c) {
  while (!args.AtEnd() && !args.AtArrow()) {
    if (!TakeCommon(args, c)) args.Error("unexpected '" + args.Peek().text + "'");
  }
  ResultSpec spec = ParseOptionalResult(args);
  args.End();
  CheckCommon(args, spec, c);
  return spec;
}

// ioctl CODE [value ... | Name=value ... | "bytes"] [in DATA] [out N] [as R] [on H | to D] [at L]
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
  CheckCommon(args, spec, c);
  if (rawIn && anyTyped) args.Error("give the input either typed or with 'in', not both");
  std::vector<uint8_t> input = rawIn ? *rawIn : typed;
  ULONG output = static_cast<ULONG>(outLength ? *outLength : (code ? code->outputLength : 0));
  RequestKind kind{RequestKind::Control, code};
  const std::string what = ControlCodeName(value, internal);
  const UCHAR major = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  return Make([=](Runner& r) {
    Issue(r, c, kind, spec, what, Sender(r, c, major, value, input, output));
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
      if (spec.any) {
        r.Record("open " + target + " -> " + StatusName(status));
      } else if (spec.given ? !spec.Accepts(status) : !NT_SUCCESS(status)) {
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

  // close [HANDLE] [as R] [no-wait] [-> STATUS]: cleanup (unless sent already), then close.
  table["close"] = [](Args& args) {
    Common c;
    bool noWait = false;
    if (!args.AtEnd() && !args.AtArrow() && !args.PeekWord("as") && !args.PeekWord("on") &&
        !args.PeekWord("no-wait")) {
      c.handle = args.Word("a handle name");
    }
    while (!args.AtEnd() && !args.AtArrow()) {
      if (args.Take("no-wait")) {
        noWait = true;
      } else if (!TakeCommon(args, c)) {
        args.Error("unexpected '" + args.Peek().text + "'");
      }
    }
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    CheckCommon(args, spec, c);
    if (c.target) args.Error("a close goes through a handle, not 'to' a device");
    if (noWait && (spec.given || !c.name.empty())) {
      args.Error("'no-wait' leaves the close to come when it comes: it takes no name or result");
    }
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
      std::shared_ptr<host::app::File> keep = h.file;
      r.DropHandle(c.handle);
      if (noWait) {
        // IRP_MJ_CLOSE goes down when the handle's last request has finished.
        keep->CloseAsync();
        return;
      }
      Issue(r, c, RequestKind{}, spec, "IRP_MJ_CLOSE", [keep] { return keep->CloseAsync(); });
    });
  };

  table["cleanup"] = [](Args& args) {
    std::string handle;
    if (args.Take("on") || (!args.AtEnd() && !args.AtArrow())) handle = args.Word("a handle name");
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    return Make([=](Runner& r) {
      std::shared_ptr<host::app::File> file = r.File(handle);  // refused after a cleanup
      NTSTATUS status = file->Cleanup();
      r.HandleOf(handle).cleanupSent = true;
      r.Note("IRP_MJ_CLEANUP -> " + StatusName(status));
      if (spec.any) {
        r.Record("IRP_MJ_CLEANUP -> " + StatusName(status));
      } else if (spec.given ? !spec.Accepts(status) : !NT_SUCCESS(status)) {
        throw Failure{"wrong status of the cleanup", spec.given ? "-> " + spec.text : "success",
                      StatusName(status)};
      }
    });
  };

  // flush [on H | to D] [at L] [-> RESULT]
  table["flush"] = [](Args& args) {
    Common c;
    ResultSpec spec = TakeRest(args, c);
    if (!c.target && !c.name.empty()) {
      args.Error("a flush on a handle is always waited for (name a kernel client's flush, 'to device')");
    }
    return Make([=](Runner& r) {
      if (c.target) {
        Issue(r, c, RequestKind{}, spec, "IRP_MJ_FLUSH_BUFFERS",
              Sender(r, c, IRP_MJ_FLUSH_BUFFERS, 0, {}, 0));
        return;
      }
      // Flush has no asynchronous form on the application side.
      host::app::IoResult result = r.File(c.handle)->Flush(c.irql);
      r.Note("IRP_MJ_FLUSH_BUFFERS -> " + StatusName(result.status));
      JudgeResult(r, spec, RequestKind{}, result, "IRP_MJ_FLUSH_BUFFERS");
    });
  };

  // read N [as R] [on H | to D] [at L] [-> RESULT]
  table["read"] = [](Args& args) {
    uint64_t length = args.Number("the number of bytes to read");
    if (length > (64u << 20)) args.Error("a read of more than 64 MiB");
    Common c;
    ResultSpec spec = TakeRest(args, c);
    return Make([=](Runner& r) {
      Issue(r, c, RequestKind{RequestKind::Read, nullptr}, spec, "read " + std::to_string(length),
            Sender(r, c, IRP_MJ_READ, 0, {}, static_cast<ULONG>(length)));
    });
  };

  // write DATA [as R] [on H | to D] [at L] [-> RESULT]
  table["write"] = [](Args& args) {
    auto data = ParseData(args);
    if (!data) args.Error("expected the data to write (\"text\", bytes 41 54, pattern 5000)");
    Common c;
    ResultSpec spec = TakeRest(args, c);
    std::vector<uint8_t> bytes = *data;
    return Make([=](Runner& r) {
      Issue(r, c, RequestKind{RequestKind::Write, nullptr}, spec,
            "write " + std::to_string(bytes.size()) + " bytes",
            Sender(r, c, IRP_MJ_WRITE, 0, bytes, 0));
    });
  };

  table["ioctl"] = [](Args& args) { return ParseIoctl(args, false); };
  table["internal-ioctl"] = [](Args& args) { return ParseIoctl(args, true); };

  // cancel R [after DURATION | within DURATION]: IoCancelIrp on a named request, now, after a
  // delay, or at a random moment of the next DURATION (drawn from the script's seed).
  table["cancel"] = [](Args& args) {
    std::string name = args.Word("a request name");
    std::optional<int64_t> delay;
    bool random = false;
    if (args.Take("after") || (random = args.Take("within"))) delay = args.Duration();
    args.End();
    return Make([=](Runner& r) {
      if (delay) {
        int64_t when = random ? static_cast<int64_t>(r.Random(static_cast<uint64_t>(*delay))) : *delay;
        r.Note("cancel " + name + " in " + std::to_string(when / 10) + " us");
        r.CancelLater(name, when);
        return;
      }
      std::shared_ptr<Runner::PendingRequest> p = r.Request(name);
      if (!p->sent) {
        throw Failure{"request " + name + " is still in its dispatch routine: it can be cancelled "
                      "once that has returned", "", ""};
      }
      BOOLEAN result = p->request.Cancel();
      r.Note("IoCancelIrp -> " + std::string(result ? "TRUE" : "FALSE"));
    });
  };

  // wait R [within DURATION] [-> RESULT]: waits until the request has finished (time moves as
  // needed); with a bound, a request still pending after that much time fails the line.
  table["wait"] = [](Args& args) {
    std::string name = args.Word("a request name");
    std::optional<int64_t> bound = args.Within();
    ResultSpec spec = ParseOptionalResult(args);
    args.End();
    return Make([=](Runner& r) {
      std::shared_ptr<Runner::PendingRequest> p = r.Request(name);
      bool done = r.WaitFor([p] { return p->Done(); }, "request " + name + " (sent at line " +
                                                           std::to_string(p->line) + ")",
                            bound);
      if (!done) {
        std::string expected = spec.given ? "-> " + spec.text : "done";
        if (bound) throw Failure{"request " + name + " did not finish in time", expected, "still pending"};
        throw Failure{"request " + name + " never finished", expected, "still pending"};
      }
      const host::app::IoResult& result = p->request.Result();
      r.Note(name + " -> " + DescribeResult(p->kind, result));
      JudgeResult(r, spec, p->kind, result, "request " + name);
    });
  };
}

}  // namespace mdmhost::scenario
