#!/usr/bin/env python3
"""Stands in for a Kea control socket: fake-kea-socket.py SOCKET DIR COUNT
answers COUNT connections on the Unix socket SOCKET, each with the file
DIR/COMMAND.json for the command it asks, and then stops."""
import json
import os
import socket
import sys


def main():
    path, directory, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(4)
    server.settimeout(30)
    print("listening", flush=True)
    for _ in range(count):
        connection, _ = server.accept()
        with connection:
            connection.settimeout(30)
            data = b""
            request = None
            while request is None:
                chunk = connection.recv(4096)
                if not chunk:
                    break
                data += chunk
                try:
                    request = json.loads(data.decode())
                except ValueError:
                    pass
            command = request.get("command", "") if request else ""
            answer = os.path.join(directory, command + ".json")
            if os.path.exists(answer):
                with open(answer, "rb") as file:
                    connection.sendall(file.read())
            else:
                connection.sendall(b'{ "result": 2, "text": "no such command" }')
    os.unlink(path)


if __name__ == "__main__":
    main()
