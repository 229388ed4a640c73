#include "platform/qemu/qmp_session.h"

#include <cstdio>
#include <string>
#include <utility>

#include "platform/qemu/qemu_process.h"

namespace tovan {

namespace {

// QEMU 7.2 throttles migration to 128 MiB/s by default, even for a paused machine. A save or
// restore should go as fast as the disk allows.
constexpr std::uint64_t kUnlimitedBandwidth = 1'000'000'000'000;  // bytes per second

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g seconds", seconds);
  return text;
}

}  // namespace

struct QmpSession::State {
  struct Pending {
    Reply reply;
    Timer::Id deadline = 0;
  };

  QemuProcess* process = nullptr;
  std::uint64_t generation = 0;
  Handlers handlers;
  bool ready = false;
  bool broken = false;
  std::map<std::uint64_t, Pending> pending;
  std::uint64_t nextId = 1;
  Timer::Id startDeadline = 0;
  std::string qemuVersion;
};

QmpSession::QmpSession(SerialQueue& queue, Timer& timer, QmpDeadlines deadlines)
    : queue_(queue), timer_(timer), deadlines_(deadlines), state_(std::make_shared<State>()) {}

QmpSession::~QmpSession() { end(); }

std::uint64_t QmpSession::begin(Handlers handlers) {
  end();
  State& state = *state_;
  state.handlers = std::move(handlers);
  state.ready = false;
  state.broken = false;
  state.qemuVersion.clear();
  return ++state.generation;
}

void QmpSession::attach(QemuProcess& process) {
  State& state = *state_;
  state.process = &process;
  state.startDeadline = expect(
      deadlines_.start, [](State& current) { return !current.ready; },
      Error{"QEMU did not start within " + secondsText(deadlines_.start)});
}

std::uint64_t QmpSession::generation() const { return state_->generation; }

std::string QmpSession::qemuVersion() const { return state_->qemuVersion; }

void QmpSession::end() {
  State& state = *state_;
  timer_.cancel(state.startDeadline);
  for (const auto& [id, pending] : state.pending) timer_.cancel(pending.deadline);
  state.pending.clear();
  state.process = nullptr;
}

void QmpSession::receive(std::uint64_t generation, const QmpMessage& message) {
  State& state = *state_;
  if (generation != state.generation || !state.process) return;
  switch (message.kind) {
    case QmpKind::greeting: {
      const nlohmann::json qemu = message.payload.value("version", nlohmann::json::object())
                                      .value("qemu", nlohmann::json::object());
      state.qemuVersion = std::to_string(qemu.value("major", 0)) + "." +
                          std::to_string(qemu.value("minor", 0)) + "." +
                          std::to_string(qemu.value("micro", 0));
      handshake();
      return;
    }
    case QmpKind::success:
    case QmpKind::failure: {
      if (!message.id) return;
      auto found = state.pending.find(*message.id);
      if (found == state.pending.end()) return;
      timer_.cancel(found->second.deadline);
      Reply reply = std::move(found->second.reply);
      state.pending.erase(found);
      reply(message);
      return;
    }
    case QmpKind::event:
      if (state.handlers.event) state.handlers.event(message);
      return;
    case QmpKind::unknown:
      return;
  }
}

void QmpSession::execute(const char* command, const nlohmann::json& arguments, Reply reply,
                         int passFd) {
  State& state = *state_;
  if (!state.process || state.broken) return;
  const std::uint64_t id = state.nextId++;
  if (Status sent = state.process->send(qmpCommand(command, id, arguments), passFd); !sent) {
    return fail(sent.error(), /*lost=*/true);
  }
  const Timer::Id deadline = expect(
      deadlines_.reply, [id](State& current) { return current.pending.count(id) > 0; },
      Error{std::string("QEMU did not answer \"") + command + "\" within " +
            secondsText(deadlines_.reply)});
  state.pending.emplace(id, State::Pending{std::move(reply), deadline});
}

Timer::Id QmpSession::deadline(double seconds, Error why) {
  return expect(
      seconds, [](State&) { return true; }, std::move(why));
}

void QmpSession::cancel(Timer::Id id) { timer_.cancel(id); }

void QmpSession::handshake() {
  struct Step {
    const char* command;
    nlohmann::json arguments;
  };
  static const Step steps[] = {
      {"qmp_capabilities", nullptr},
      {"migrate-set-capabilities",
       {{"capabilities", {{{"capability", "events"}, {"state", true}}}}}},
      {"migrate-set-parameters", {{"max-bandwidth", kUnlimitedBandwidth}}},
  };
  // Each step runs once the previous one has been acknowledged.
  struct Chain {
    static void run(QmpSession& session, std::size_t index) {
      State& state = *session.state_;
      if (index == std::size(steps)) {
        state.ready = true;
        session.timer_.cancel(state.startDeadline);
        if (state.handlers.ready) state.handlers.ready();
        return;
      }
      session.execute(steps[index].command, steps[index].arguments,
                      [&session, index](const QmpMessage& reply) {
                        if (reply.kind == QmpKind::failure) {
                          return session.fail(Error{reply.description});
                        }
                        run(session, index + 1);
                      });
    }
  };
  Chain::run(*this, 0);
}

void QmpSession::fail(Error why, bool lost) {
  State& state = *state_;
  if (state.broken || !state.process) return;
  state.broken = true;
  if (auto handler = lost ? state.handlers.lost : state.handlers.broken) handler(std::move(why));
}

Timer::Id QmpSession::expect(double seconds, std::function<bool(State&)> stillDue, Error why) {
  std::weak_ptr<State> weak = state_;
  const std::uint64_t generation = state_->generation;
  SerialQueue* queue = &queue_;
  QmpSession* self = this;
  return timer_.scheduleIn(seconds, [=] {
    queue->async([=] {
      auto state = weak.lock();
      if (!state || state->generation != generation || !stillDue(*state)) return;
      self->fail(why);
    });
  });
}

}  // namespace tovan
