#pragma once

// How a component that wires its own controls runs their handlers: the window hands it the
// one error path (app::runHandler), which shows whatever a handler throws in the error box, so
// no exception ever crosses Qt's signal dispatch. There is deliberately no default and no empty
// runner: a component cannot be wired without saying where its failures go.

#include <functional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace vintra {

class HandlerRunner {
public:
    using Handler = std::function<void()>;
    using Run = std::function<void(const Handler &)>;

    // Any callable taking the handler, e.g. app::runHandler or a test's recorder. Throws
    // std::invalid_argument for an empty std::function or a null function pointer, at wiring time.
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, HandlerRunner> &&
                                                std::is_invocable_v<F &, const Handler &>>>
    HandlerRunner(F &&run) : m_run(std::forward<F>(run))
    {
        if (!m_run)
            throw std::invalid_argument("HandlerRunner needs a callable");
    }

    // Runs one handler through the error path.
    void operator()(const Handler &handler) const { m_run(handler); }

private:
    Run m_run;
};

} // namespace vintra
