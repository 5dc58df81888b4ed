SELECT d.id, d.serial FROM devices.registry d WHERE d.retired_at IS NULL
