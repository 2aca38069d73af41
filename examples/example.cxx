// Opens a connection and shows its session settings.
#include <soa/client/Connection.hxx>
#include <soa/client/RuntimeException.hxx>

#include <iostream>

int main(int argc, char** argv) {
    using Quillomark::Soa::Client::Connection;
    const char* host = argc > 1 ? argv[1] : "http://localhost:7001/tc";

    Connection connection(host, nullptr, Connection::HTTP, Connection::REST, true);
    connection.setOption(Connection::TIMEOUT, "30");
    std::cout << "connection to " << connection.getHostPath() << "\n"
              << "object-property policy: " << connection.getCurrentObjectPropertyPolicy() << "\n";
    return 0;
}
