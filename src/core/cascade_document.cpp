#include "cascade_document.h"

namespace qor::CascadeDocument {

const QString &templateText()
{
    // The resolver is Quad9's anycast pair, queried over TCP so it crosses the SOCKS hop.
    static const QString text = QStringLiteral(R"({
  "log": {
    "loglevel": "warning"
  },
  "dns": {
    "servers": [
      "tcp://9.9.9.9",
      "tcp://149.112.112.112"
    ],
    "queryStrategy": "UseIPv4",
    "disableFallback": false
  },
  "inbounds": [
    {
      "tag": "in",
      "listen": "127.0.0.1",
      "port": 10808,
      "protocol": "socks",
      "settings": {
        "udp": true
      },
      "sniffing": {
        "enabled": true,
        "destOverride": [
          "http",
          "tls"
        ]
      }
    }
  ],
  "outbounds": [
    {
      "tag": "tavrin",
      "protocol": "socks",
      "settings": {
        "servers": [
          {
            "address": "127.0.0.1",
            "port": __TAVRIN_PORT__
          }
        ]
      }
    },
    {
      "tag": "dns-out",
      "protocol": "dns",
      "settings": {
        "nonIPQuery": "drop"
      }
    },
    {
      "tag": "direct",
      "protocol": "freedom"
    },
    {
      "tag": "block",
      "protocol": "blackhole"
    }
  ],
  "routing": {
    "domainStrategy": "AsIs",
    "rules": [
      {
        "type": "field",
        "ip": [
          "10.0.0.0/8",
          "172.16.0.0/12",
          "192.168.0.0/16",
          "127.0.0.0/8",
          "100.64.0.0/10"
        ],
        "outboundTag": "direct"
      },
      {
        "type": "field",
        "network": "udp",
        "port": 53,
        "outboundTag": "dns-out"
      },
      {
        "type": "field",
        "network": "udp",
        "outboundTag": "block"
      },
      {
        "type": "field",
        "network": "tcp",
        "outboundTag": "tavrin"
      }
    ]
  }
}
)");
    return text;
}

QString filled(int tavrinPort)
{
    QString text = templateText();
    text.replace(QStringLiteral("__TAVRIN_PORT__"), QString::number(tavrinPort));
    return text;
}

} // namespace qor::CascadeDocument
