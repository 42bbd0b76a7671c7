
      window.tarnoVeskDesktop = {
        platform: 'windows',
        version: '1.0.0',
        saveBackup: (json) => window.ipc.postMessage(JSON.stringify({ cmd: 'save_backup', json: typeof json === 'string' ? json : JSON.stringify(json) })),
        openBackupsFolder: () => window.ipc.postMessage(JSON.stringify({ cmd: 'open_backups_folder' })),
        setServerUrl: (url) => window.ipc.postMessage(JSON.stringify({ cmd: 'set_server_url', url })),
        printReceipt: () => window.print()
      };
      window.addEventListener('keydown', (e) => {
        if (e.key === 'F5') { e.preventDefault(); location.reload(); }
      });
    