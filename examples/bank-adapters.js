// A bank page reads the machine's network adapters through the
// network-address control: one line, per adapter its hardware address, a
// colon and its IPv4 addresses; adapters joined by "_".
var fetch = new ActiveXObject("Pellmar.FetchMAC");
print("Pellmar version: " + fetch.VERSION);
var line = fetch.getIP_MAC();
print("LastErrorCode: " + fetch.LastErrorCode);
print("adapter line: " + line);
var adapters = line == "" ? [] : line.split("_");
for (var i = 0; i < adapters.length; i++) {
  var cut = adapters[i].indexOf(":");
  var mac = adapters[i].substring(0, cut);
  print("  adapter " + (i + 1) + ": hardware address " + (mac == "" ? "(none)" : mac) +
        ", IPv4 " + adapters[i].substring(cut + 1));
}
