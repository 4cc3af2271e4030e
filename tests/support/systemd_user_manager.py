'''A stand-in for systemd's user manager (org.freedesktop.systemd1 on the session bus): its units
with their load, active and unit-file states, and the manager's calls the recorder service uses.

Parameters (JSON): {"units": {"NAME": "ACTIVE_STATE", ...}}; every other unit is not found.
'''

import dbus

from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
UNIT_IFACE = 'org.freedesktop.systemd1.Unit'
SYSTEM_BUS = False


def unit_path(name):
    return MAIN_OBJ + '/unit/' + ''.join(c if c.isalnum() else '_' for c in name)


def add_unit(mock, name, load_state, active_state):
    path = unit_path(name)
    mock.AddObject(path, UNIT_IFACE, {
        'Id': name,
        'LoadState': load_state,
        'ActiveState': active_state,
        'UnitFileState': 'disabled' if load_state == 'loaded' else '',
    }, [])
    mock.units[name] = path
    return path


def load(mock, parameters):
    mock.units = {}
    for name, active in parameters.get('units', {}).items():
        add_unit(mock, name, 'loaded', active)


def unit(mock, name):
    name = str(name)
    path = mock.units.get(name)
    if path is None or mockobject.objects[path].Get(UNIT_IFACE, 'LoadState') != 'loaded':
        raise dbus.exceptions.DBusException(f'Unit {name} not found.', name='org.freedesktop.systemd1.NoSuchUnit')
    return mockobject.objects[path]


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def LoadUnit(self, name):
    name = str(name)
    return self.units.get(name) or add_unit(self, name, 'not-found', 'inactive')


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def GetUnit(self, name):
    unit(self, name)
    return self.units[str(name)]


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StartUnit(self, name, _mode):
    unit(self, name).UpdateProperties(UNIT_IFACE, {'ActiveState': 'active'})
    return MAIN_OBJ + '/job/1'


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StopUnit(self, name, _mode):
    unit(self, name).UpdateProperties(UNIT_IFACE, {'ActiveState': 'inactive'})
    return MAIN_OBJ + '/job/2'


@dbus.service.method(MAIN_IFACE, in_signature='asbb', out_signature='ba(sss)')
def EnableUnitFiles(self, names, _runtime, _force):
    for name in names:
        unit(self, name).UpdateProperties(UNIT_IFACE, {'UnitFileState': 'enabled'})
    return (False, dbus.Array([], signature='(sss)'))


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Reload(self):
    pass
