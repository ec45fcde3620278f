// A client that floods a JSON port with sets, for the engine's benchmarks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

// Sets the gain on the JSON port in batches of 50, reading the replies, until told to stop;
// connects again whenever the port closes the connection. Counts the sets answered.
inline void flood(uint16_t port, const std::atomic<bool>& stop, std::atomic<long>& answered) {
  // Another program's client: never at the data thread's priority.
  sched_param normal{};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  std::string batch;
  for (int i = 0; i < 50; ++i)
    batch +=
        i % 2 == 0 ? "{\"set\":{\"in\":{\"gain\":-10}}}\n" : "{\"set\":{\"in\":{\"gain\":-20}}}\n";
  while (!stop) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    char buffer[4096];
    while (!stop) {
      if (send(fd, batch.data(), batch.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(batch.size()))
        break;
      int lines = 0;
      while (lines < 50 && !stop) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        lines += static_cast<int>(std::count(buffer, buffer + got, '\n'));
      }
      answered += lines;
      if (lines < 50) break;
    }
    close(fd);
  }
}
