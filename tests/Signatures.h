#pragma once
/// Keys and signatures minisign made, for the tests of signed versions.
/// Key K signed "abc" (1700000000) and "abcd" (1800000000, with the
/// default comment and others), each as Prog.exe; and "abcd" as Other.exe
/// (1850000000).

#include <string>

namespace quennel::testing {

inline const std::string kKeyK =
    "untrusted comment: minisign public key 2E90CC2A26686DBC\n"
    "RWS8bWgmKsyQLjKgJdgPgJo6AZz+DKuoXj0rwf5B7oSjuCDaq0hNyYYw\n";
inline const std::string kSignedOld =
    "untrusted comment: signature from minisign secret key\n"
    "RUS8bWgmKsyQLquiB/Qj1DChaeTJrTdXeEkqu2vDQpnN6T34dirrl6YYTrckXWnRhHUuU2+kSDuY/TwT3qiV+ch1VgmCbZD6ywo=\n"
    "trusted comment: timestamp:1700000000\tfile:Prog.exe\thashed\n"
    "a1XeZwsw2yacqWVlnv6nNqWftfMZ/n05a3eT5Iyo3hlQgSACG4qsFUOqsfFE2t1D5qoqYoeRtSJBsI9YMXKAAw==\n";
inline const std::string kSignedNew =
    "untrusted comment: signature from minisign secret key\n"
    "RUS8bWgmKsyQLkyvT3ie07jvmQiiG0oWajszF0xBop87FCZXc17k7kMQ0atdJbM7Vb2smCy7/Z+A89SILbkdZ4dc9bAUggXHGgY=\n"
    "trusted comment: timestamp:1800000000\tfile:Prog.exe\thashed\n"
    "MI61MJ99ylMTncSUhyywwu/UfOSL6QYuWCn2CQUIbh0ojJF4zh3P2ebWShuztfL69yNsbkQ4xj7DbKMORp+wBQ==\n";
inline const std::string kSignedNoTime =
    "untrusted comment: signature from minisign secret key\n"
    "RUS8bWgmKsyQLkyvT3ie07jvmQiiG0oWajszF0xBop87FCZXc17k7kMQ0atdJbM7Vb2smCy7/Z+A89SILbkdZ4dc9bAUggXHGgY=\n"
    "trusted comment: file:Prog.exe\n"
    "zwvqCjiQzHq1lBt5WlNB2496eoJIfltQgX4cFAXsRKyE7CR2WDSpf4e1Luw87L96+Q9GFRQ553MmVP0UvOZODw==\n";
inline const std::string kSignedNoFile =
    "untrusted comment: signature from minisign secret key\n"
    "RUS8bWgmKsyQLkyvT3ie07jvmQiiG0oWajszF0xBop87FCZXc17k7kMQ0atdJbM7Vb2smCy7/Z+A89SILbkdZ4dc9bAUggXHGgY=\n"
    "trusted comment: release 5.1\n"
    "ceW0MTfx/ofHuJaCDiylhqQndcM4ZHHaAH+N4tT5HpiLBtshhPpV9ijSA3DqhFen2P87EkLYAWp4a0DLJwEEBA==\n";
inline const std::string kSignedTabbedName =
    "untrusted comment: signature from minisign secret key\n"
    "RUS8bWgmKsyQLkyvT3ie07jvmQiiG0oWajszF0xBop87FCZXc17k7kMQ0atdJbM7Vb2smCy7/Z+A89SILbkdZ4dc9bAUggXHGgY=\n"
    "trusted comment: file:Prog.exe\tx\ttimestamp:1800000000\n"
    "1mFzGtrtQJk4Fk5IexKOviLF7Boc6nV1mMGWo4evtdqFkWAs+7f7ICVfFd/qMAPLXPE6QaoIzFSqHLWtMgKXDA==\n";
inline const std::string kSignedOtherOrder =
    "untrusted comment: signature from minisign secret key\n"
    "RUS8bWgmKsyQLkyvT3ie07jvmQiiG0oWajszF0xBop87FCZXc17k7kMQ0atdJbM7Vb2smCy7/Z+A89SILbkdZ4dc9bAUggXHGgY=\n"
    "trusted comment: version:7.0\ttimestamp:1800000000\tfile:Prog.exe\n"
    "4E3VDYMpodcGcNs3N4gz4ofoxtwXv9Nv3ZFRz48PB4XHyAQ9RlFcS1HZ9lyLnE3SoinsDvwiohPEXRxX3OqBCw==\n";
inline const std::string kSignedOtherFile =
    "untrusted comment: signature from minisign secret key\n"
    "RUS8bWgmKsyQLkyvT3ie07jvmQiiG0oWajszF0xBop87FCZXc17k7kMQ0atdJbM7Vb2smCy7/Z+A89SILbkdZ4dc9bAUggXHGgY=\n"
    "trusted comment: timestamp:1850000000\tfile:Other.exe\thashed\n"
    "uMEdVVVTCz0WHCEHIRZDWY+yLac2W9Y2Z75Gzw9ECwtAYGo7Z8/ToDzthGeNP71OhBeHOIIg3ii0Hm16HdVIBQ==\n";

}  // namespace quennel::testing
