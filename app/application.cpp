#include "app/application.h"

#include "app/logger.h"
#include "sdr/sdr_decoder.h"
#include "sdr/sdr_device.h"

#include <boost/asio/post.hpp>

#include <csignal>

Application::Application()
    : ioService(std::make_shared<boost::asio::io_context>()),
      config(std::make_unique<Config>()),
      mainThread(std::this_thread::get_id()) {
  signals = std::make_unique<boost::asio::signal_set>(*ioService);
  signals->add(SIGINT);
  signals->add(SIGTERM);
}

Application::~Application() {
  // The reverse of what depends on what: listeners first, the input before its demodulator.
  signals.reset();
  device.reset();
  decoder.reset();
  config.reset();
  ioService.reset();
}

void Application::start(std::unique_ptr<SdrDevice> inputDevice) {
  phase = Phase::Starting;
  device = std::move(inputDevice);

  decoder = device->createDecoder(*this);
  decoder->start();

  msgLocalTimeFlag = config->msgLocalTime;

  device->start();

  signals->async_wait([this](const boost::system::error_code&, int) { stop(); });

  Phase expected = Phase::Starting;
  if (!phase.compare_exchange_strong(expected, Phase::Running)) {
    // The input ended while we were starting: end the run now that everything is up.
    phase = Phase::Stopped;
    stopComponents();
  }
}

void Application::stop() {
  Phase current = phase.load();
  for (;;) {
    if (current == Phase::Running) {
      if (phase.compare_exchange_weak(current, Phase::Stopped)) break;
    } else if (current == Phase::Starting) {
      if (phase.compare_exchange_weak(current, Phase::StopRequested)) return;
    } else {
      return;
    }
  }
  if (std::this_thread::get_id() == mainThread) {
    stopComponents();
  } else {
    boost::asio::post(*ioService, [this] { stopComponents(); });
  }
}

void Application::stopComponents() {
  if (device) device->stop();
  if (decoder) decoder->stop();
  signals->cancel();
}
