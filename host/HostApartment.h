// COM on the host's thread, as image viewers have it when they call a plug-in: a single-threaded
// apartment for the life of the object on Windows (dshowsrc's media detector lives in it);
// nothing elsewhere.
#pragma once

class HostApartment {
public:
    HostApartment();
    ~HostApartment();
    HostApartment(const HostApartment&) = delete;
    HostApartment& operator=(const HostApartment&) = delete;

private:
    bool m_initialized = false;
};
